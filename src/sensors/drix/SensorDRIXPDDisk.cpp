// Source: "tallyq pd_ds", one record per path of each physical disk: "_d_"
// (disk name) in the main part, the read and write counters in the "_r_" and
// "_w_" parts. Paths of one disk are told apart only by their order in the
// reply. A disk name holding '#' spoils the sample.
#include "SensorDRIXPDDisk.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata head[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_disk_name", 13301, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_dev_path", 13303, DT_STRING, DRIX_DEV_PATH_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
};
constexpr auto drixDiskMetas = PerDisk::table(head, "drix_pdds_", 13460);
constexpr uint32_t sensorSize[] = {drixDiskMetas.size()};

static_assert(drixDiskMetas.size() == 21, "");
static_assert(sizeof(DRIXPDDiskData) == 312, "");
static_assert(sizeof(DRIXPDDiskData) == rowLength(drixDiskMetas.data(), 0, 21), "");
static_assert(offsetof(DRIXPDDiskData, drixDevPathName) == columnOffset(drixDiskMetas.data(), 3),
              "");
static_assert(offsetof(DRIXPDDiskData, metricKey) == columnOffset(drixDiskMetas.data(), 4), "");
static_assert(offsetof(DRIXPDDiskData, perDiskData) == columnOffset(drixDiskMetas.data(), 5), "");

const std::string DISK = "_d_";

}  // namespace

SensorDRIXPDDisk::SensorDRIXPDDisk()
    : DiskRowsSensor(drixDiskMetas.data(), drixDiskMetas.size(), sensorSize, 1,
                     SensorID::DRIXPDDisk, "tallyq pd_ds") {}

SensorDRIXPDDisk::~SensorDRIXPDDisk() = default;

AbstractSensor* SensorDRIXPDDisk::generate() { return new SensorDRIXPDDisk(); }

void SensorDRIXPDDisk::startNewRecordSet() {
    keys.clear();
    devNamePathMap.clear();
}

bool SensorDRIXPDDisk::fillInKeys(uint32_t index, RecordList_t::const_iterator& record) {
    DRIXPDDiskData& row = rows[index];
    const std::string& sensor = getName();
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);

    const char* disk = record->getStrMain(DISK, *log);
    if (disk == nullptr || std::strchr(disk, '#') != nullptr) return false;
    safeStrncpy(row.drixDiskName, disk, sizeof row.drixDiskName);
    uint32_t hash = FNV1AHash32(row.drixDiskName, sizeof row.drixDiskName);

    auto seen = devNamePathMap.emplace(row.drixDiskName, 0u);
    if (!seen.second) ++seen.first->second;
    std::memset(row.drixDevPathName, 0, sizeof row.drixDevPathName);
    // Cut to the field: path1000 would not fit.
    std::snprintf(row.drixDevPathName, sizeof row.drixDevPathName, "path%03u", seen.first->second);
    hash = FNV1AHashAppend32(hash, row.drixDevPathName, sizeof row.drixDevPathName);

    hash = keys.claim(hash, [&] { return std::string(row.drixDiskName); });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
    return true;
}

static volatile RegisterSensorGenerator<SensorDRIXPDDisk> registerSensorDRIXPDDisk(
    SensorID::DRIXPDDisk, SensorDRIXPDDisk::generate);
