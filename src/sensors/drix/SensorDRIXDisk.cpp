// Source: "tallyq ds", one record per disk of each filesystem: "_cl_",
// "_fs_" and "_d_" (cluster, filesystem, disk) in the main part, the read and
// write counters in the "_r_" and "_w_" parts. A record without a disk name,
// or with an unprintable one, spoils the sample.
#include "SensorDRIXDisk.h"

#include <cctype>
#include <cstddef>
#include <cstring>

#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata head[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_cluster_name", 13004, DT_STRING, DRIX_NAME_LEN, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, DRIX_NAME_LEN, SEMTYPE_IDENTIFIER},
    {"drix_disk_name", 13301, DT_STRING, DRIX_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
};
constexpr auto drixDiskMetas = PerDisk::table(head, "drix_ds_", 13372);
constexpr uint32_t sensorSize[] = {drixDiskMetas.size()};

static_assert(drixDiskMetas.size() == 22, "");
static_assert(sizeof(DRIXDiskData) == 432, "");
static_assert(sizeof(DRIXDiskData) == rowLength(drixDiskMetas.data(), 0, 22), "");
static_assert(offsetof(DRIXDiskData, drixDiskName) == columnOffset(drixDiskMetas.data(), 4), "");
static_assert(offsetof(DRIXDiskData, metricKey) == columnOffset(drixDiskMetas.data(), 5), "");
static_assert(offsetof(DRIXDiskData, perDiskData) == columnOffset(drixDiskMetas.data(), 6), "");

const std::string CLUSTER = "_cl_", FILESYSTEM = "_fs_", DISK = "_d_";

}  // namespace

SensorDRIXDisk::SensorDRIXDisk()
    : DiskRowsSensor(drixDiskMetas.data(), drixDiskMetas.size(), sensorSize, 1, SensorID::DRIXDisk,
                     "tallyq ds") {}

SensorDRIXDisk::~SensorDRIXDisk() = default;

AbstractSensor* SensorDRIXDisk::generate() { return new SensorDRIXDisk(); }

bool SensorDRIXDisk::fillInKeys(uint32_t index, RecordList_t::const_iterator& record) {
    DRIXDiskData& row = rows[index];
    const std::string& sensor = getName();
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);

    uint32_t hash = 0;
    if (const char* cluster = record->getStrMain(CLUSTER, *log)) {
        safeStrncpy(row.drixClusterName, cluster, sizeof row.drixClusterName);
        hash = FNV1AHash32(row.drixClusterName, sizeof row.drixClusterName);
        if (row.drixClusterName[0] == '\0')
            safeStrncpy(row.drixClusterName, "unknown", sizeof row.drixClusterName);
    } else {
        safeStrncpy(row.drixClusterName, "unknown", sizeof row.drixClusterName);
    }
    if (const char* fs = record->getStrMain(FILESYSTEM, *log)) {
        safeStrncpy(row.drixFilesystem, fs, sizeof row.drixFilesystem);
        hash = FNV1AHashAppend32(hash, row.drixFilesystem, sizeof row.drixFilesystem);
        if (row.drixFilesystem[0] == '\0')
            safeStrncpy(row.drixFilesystem, "unknown", sizeof row.drixFilesystem);
    } else {
        safeStrncpy(row.drixFilesystem, "unknown", sizeof row.drixFilesystem);
    }

    const char* disk = record->getStrMain(DISK, *log);
    if (disk == nullptr || *disk == '\0') {
        if (sourcePrevOK) log->logError("No disk name found in disk data");
        return false;
    }
    // The whole name as read, not only what fits the field.
    for (const char* c = disk; *c != '\0'; ++c) {
        if (!std::isprint(static_cast<unsigned char>(*c))) {
            if (sourcePrevOK) log->logError("Non-printable disk name found in disk data");
            return false;
        }
    }
    safeStrncpy(row.drixDiskName, disk, sizeof row.drixDiskName);
    hash = FNV1AHashAppend32(hash, row.drixDiskName, sizeof row.drixDiskName);

    hash = keys.claim(hash, [&] {
        return joinKeyText({row.drixClusterName, row.drixFilesystem, row.drixDiskName});
    });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
    return true;
}

static volatile RegisterSensorGenerator<SensorDRIXDisk> registerSensorDRIXDisk(
    SensorID::DRIXDisk, SensorDRIXDisk::generate);
