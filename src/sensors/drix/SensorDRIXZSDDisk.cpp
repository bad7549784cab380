// Source: "tallyq zsd_ds", one record per ZSD disk served by this node, with
// the disk name as "_d_" in the main part and the read and write counters in
// the "_r_" and "_w_" parts; the disk's filesystem and pool come from the
// configuration repository (ZSDInfo). No record is rejected: a disk without a
// name is reported as "unknown".
#include "SensorDRIXZSDDisk.h"

#include <endian.h>

#include <cstddef>
#include <cstring>

#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata DRIX_FS_NAME = {"drix_fs_name", 13005, DT_STRING, DRIX_NAME_LEN,
                                          SEMTYPE_IDENTIFIER};

constexpr MetricsMetadata diskHead[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_disk_name", 13301, DT_STRING, DRIX_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
};

constexpr MetricsMetadata sumRows[] = {
    // Group 2: per filesystem.
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    DRIX_FS_NAME,
    ROW_HEADER_METRIC_KEY,
    {"drix_zsdfs_read_ops", 14220, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_zsdfs_bytes_read", 14221, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_zsdfs_write_ops", 14222, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_zsdfs_bytes_written", 14223, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    // Group 3: per pool of a filesystem.
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    DRIX_FS_NAME,
    {"drix_diskpool_name", 13006, DT_STRING, DRIX_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_zsdpool_read_ops", 14224, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_zsdpool_bytes_read", 14225, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_zsdpool_write_ops", 14226, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_zsdpool_bytes_written", 14227, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
};

constexpr auto diskRows = PerDisk::table(diskHead, "drix_zsdds_", 13352);

constexpr std::array<MetricsMetadata, 37> joinTables() {
    std::array<MetricsMetadata, 37> t{};
    std::size_t n = 0;
    for (const MetricsMetadata& m : diskRows) t[n++] = m;
    for (const MetricsMetadata& m : sumRows) t[n++] = m;
    return t;
}

constexpr auto drixDiskMetas = joinTables();
constexpr uint32_t sensorSize[] = {20, 8, 9};
constexpr uint32_t G2 = 20, G3 = 28;  // first row of groups 2 and 3

static_assert(diskRows.size() + sizeof sumRows / sizeof sumRows[0] == 37, "");
static_assert(sizeof(DRIXZSDDiskData) == 304, "");
static_assert(sizeof(DRIXZSDDiskData) == rowLength(drixDiskMetas.data(), 0, G2), "");
static_assert(offsetof(DRIXZSDDiskData, metricKey) == columnOffset(drixDiskMetas.data(), 3), "");
static_assert(offsetof(DRIXZSDDiskData, perDiskData) == columnOffset(drixDiskMetas.data(), 4), "");
static_assert(sizeof(DRIXPerFSDiskData) == 208, "");
static_assert(sizeof(DRIXPerFSDiskData) == rowLength(drixDiskMetas.data(), G2, 8), "");
static_assert(offsetof(DRIXPerFSDiskData, metricKey) == rowLength(drixDiskMetas.data(), G2, 3), "");
static_assert(sizeof(DRIXPerPoolDiskData) == 272, "");
static_assert(sizeof(DRIXPerPoolDiskData) == rowLength(drixDiskMetas.data(), G3, 9), "");
static_assert(offsetof(DRIXPerPoolDiskData, drixPoolName) == rowLength(drixDiskMetas.data(), G3, 3),
              "");
static_assert(offsetof(DRIXPerPoolDiskData, metricKey) == rowLength(drixDiskMetas.data(), G3, 4),
              "");

const std::string DISK = "_d_";
const char* const FS_SENSOR = "DRIXZSDFS";
const char* const POOL_SENSOR = "DRIXZSDPool";

}  // namespace

SensorDRIXZSDDisk::SensorDRIXZSDDisk()
    : DiskRowsSensor(drixDiskMetas.data(), drixDiskMetas.size(), sensorSize, 3,
                     SensorID::DRIXZSDDisk, "tallyq zsd_ds"),
      allMetricsDataSets{{0, sizeof(DRIXZSDDiskData), nullptr},
                         {0, sizeof(DRIXPerFSDiskData), nullptr},
                         {0, sizeof(DRIXPerPoolDiskData), nullptr}},
      zsdInfo(new ZSDInfo(ZSD_REFRESH_S)) {}

SensorDRIXZSDDisk::~SensorDRIXZSDDisk() = default;

AbstractSensor* SensorDRIXZSDDisk::generate() { return new SensorDRIXZSDDisk(); }

bool SensorDRIXZSDDisk::fillInKeys(uint32_t index, RecordList_t::const_iterator& record) {
    DRIXZSDDiskData& row = rows[index];
    const std::string& sensor = getName();
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);
    uint32_t hash = 0;
    if (const char* disk = record->getStrMain(DISK, *log)) {
        safeStrncpy(row.drixDiskName, disk, sizeof row.drixDiskName);
        hash = FNV1AHash32(row.drixDiskName, sizeof row.drixDiskName);
        if (row.drixDiskName[0] == '\0')
            safeStrncpy(row.drixDiskName, "unknown", sizeof row.drixDiskName);
    } else {
        safeStrncpy(row.drixDiskName, "unknown", sizeof row.drixDiskName);
    }
    hash = keys.claim(hash, [&] { return joinKeyText({"disc", row.drixDiskName}); });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
    return true;
}

void SensorDRIXZSDDisk::add(AggregatedMetrics& sums, const DRIXPerDiskData& row) {
    sums.readOps += be64toh(row.drixNumDiskReadOps);
    sums.bytesRead += be64toh(row.drixBytesRead);
    sums.writeOps += be64toh(row.drixNumDiskWriteOps);
    sums.bytesWritten += be64toh(row.drixBytesWrite);
}

void SensorDRIXZSDDisk::fillInFSKeys(uint32_t index, const std::string& fs) {
    DRIXPerFSDiskData& row = drixPerFSMetricData[index];
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, FS_SENSOR, sizeof row.sensorName);
    safeStrncpy(row.drixFSName, fs.c_str(), sizeof row.drixFSName);
    uint32_t hash = FNV1AHash32(row.drixFSName, sizeof row.drixFSName);
    hash = keys.claim(hash, [&] { return joinKeyText({"FS", row.drixFSName}); });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
}

void SensorDRIXZSDDisk::fillInPoolKeys(uint32_t index, const poolFS_t& pool) {
    DRIXPerPoolDiskData& row = drixPerPoolMetricData[index];
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, POOL_SENSOR, sizeof row.sensorName);
    // The pool comes first in the hash although the filesystem comes first
    // in the row, so RowWriter::keyStringHash does not apply.
    safeStrncpy(row.drixPoolName, pool.pool.c_str(), sizeof row.drixPoolName);
    uint32_t hash = FNV1AHash32(row.drixPoolName, sizeof row.drixPoolName);
    safeStrncpy(row.drixFSName, pool.fs.c_str(), sizeof row.drixFSName);
    hash = FNV1AHashAppend32(hash, row.drixFSName, sizeof row.drixFSName);
    hash = keys.claim(hash, [&] { return joinKeyText({"pool", row.drixFSName}); });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
}

const dataSet_t* SensorDRIXZSDDisk::getMetricData() {
    // Disk, filesystem and pool keys share one set; their collisions are
    // reported together, at Info, once all three groups are keyed.
    const dataSet_t* disks = SensorDRIXDiskBase::getMetricData();
    allMetricsDataSets[0] = *disks;
    allMetricsDataSets[1] = {0, sizeof(DRIXPerFSDiskData), nullptr};
    allMetricsDataSets[2] = {0, sizeof(DRIXPerPoolDiskData), nullptr};
    if (disks->numSets == 0 || !zsdInfo) {
        keys.reportCollisions(*log, getName(), LogNameSpace::esInfo);
        return allMetricsDataSets;
    }

    perFSMap.clear();
    perPoolMap.clear();
    zsdInfo->newSample();
    std::string disk;
    poolFS_t where;
    for (uint32_t i = 0; i < disks->numSets; ++i) {
        const DRIXZSDDiskData& row = rows[i];
        disk.assign(row.drixDiskName, strnlen(row.drixDiskName, sizeof row.drixDiskName));
        const poolFS_t* answer = zsdInfo->getPoolAndFS(disk);
        if (answer == zsdInfo->unknown()) continue;
        // The answer is valid only until the next lookup.
        where = *answer;
        add(perFSMap[where.fs], row.perDiskData);
        add(perPoolMap[where], row.perDiskData);
    }

    const uint32_t nFS = static_cast<uint32_t>(perFSMap.size());
    if (allocatedFSSets != nFS || !drixPerFSMetricData) {
        drixPerFSMetricData.reset(new DRIXPerFSDiskData[nFS]());
        allocatedFSSets = nFS;
    }
    uint32_t j = 0;
    for (const auto& fs : perFSMap) {
        fillInFSKeys(j, fs.first);
        DRIXPerFSDiskData& row = drixPerFSMetricData[j++];
        row.perFSNumDiskReadOps = htobe64(fs.second.readOps);
        row.perFSBytesRead = htobe64(fs.second.bytesRead);
        row.perFSNumDiskWriteOps = htobe64(fs.second.writeOps);
        row.perFSBytesWritten = htobe64(fs.second.bytesWritten);
    }
    allMetricsDataSets[1].numSets = nFS;
    allMetricsDataSets[1].data = reinterpret_cast<const char*>(drixPerFSMetricData.get());

    const uint32_t nPool = static_cast<uint32_t>(perPoolMap.size());
    if (allocatedPoolSets != nPool || !drixPerPoolMetricData) {
        drixPerPoolMetricData.reset(new DRIXPerPoolDiskData[nPool]());
        allocatedPoolSets = nPool;
    }
    j = 0;
    for (const auto& pool : perPoolMap) {
        fillInPoolKeys(j, pool.first);
        DRIXPerPoolDiskData& row = drixPerPoolMetricData[j++];
        row.perPoolNumDiskReadOps = htobe64(pool.second.readOps);
        row.perPoolBytesRead = htobe64(pool.second.bytesRead);
        row.perPoolNumDiskWriteOps = htobe64(pool.second.writeOps);
        row.perPoolBytesWritten = htobe64(pool.second.bytesWritten);
    }
    allMetricsDataSets[2].numSets = nPool;
    allMetricsDataSets[2].data = reinterpret_cast<const char*>(drixPerPoolMetricData.get());
    keys.reportCollisions(*log, getName(), LogNameSpace::esInfo);
    return allMetricsDataSets;
}

int32_t SensorDRIXZSDDisk::shutdown() {
    // Groups 2 and 3 stay with the sensor, as the base's rows do.
    zsdInfo.reset();
    return SensorDRIXDiskBase::shutdown();
}

static volatile RegisterSensorGenerator<SensorDRIXZSDDisk> registerSensorDRIXZSDDisk(
    SensorID::DRIXZSDDisk, SensorDRIXZSDDisk::generate);
