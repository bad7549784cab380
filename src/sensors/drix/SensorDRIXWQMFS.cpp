// Source: "tallyq wqm fs", one record per filesystem: "_fs_" and the WQM
// statistics in the main part.
#include "SensorDRIXWQMFS.h"

#include <cstddef>
#include <cstring>

#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata head[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
};
constexpr auto drixWQMFSMetas = WQM::table(head, "drix_wqm_fs_", 13800);
constexpr uint32_t sensorSize[] = {drixWQMFSMetas.size()};

static_assert(drixWQMFSMetas.size() == 142, "");
static_assert(sizeof(DIRXWQMFSData) == 1272, "");
static_assert(sizeof(DIRXWQMFSData) == rowLength(drixWQMFSMetas.data(), 0, 142), "");
static_assert(offsetof(DIRXWQMFSData, metricKey) == columnOffset(drixWQMFSMetas.data(), 3), "");
static_assert(offsetof(DIRXWQMFSData, wqmDataSet) == columnOffset(drixWQMFSMetas.data(), 4), "");

const std::string FILESYSTEM = "_fs_";

}  // namespace

uint32_t WQM::putFilesystem(char* field, const TallyqRecord& record, const Logger& log) {
    const char* fs = record.getStrMain(FILESYSTEM, log);
    if (fs == nullptr) {
        AbstractSensor::safeStrncpy(field, "unknown", 64);
        return 0;
    }
    AbstractSensor::safeStrncpy(field, fs, 64);
    const uint32_t hash = FNV1AHash32(field, 64);
    if (field[0] == '\0') AbstractSensor::safeStrncpy(field, "unknown", 64);
    return hash;
}

SensorDRIXWQMFS::SensorDRIXWQMFS()
    : WQMRowsSensor(drixWQMFSMetas.data(), drixWQMFSMetas.size(), sensorSize, 1,
                    SensorID::DRIXWQMFS, "tallyq wqm fs") {}

AbstractSensor* SensorDRIXWQMFS::generate() { return new SensorDRIXWQMFS(); }

bool SensorDRIXWQMFS::fillInKeys(uint32_t index, const TallyqRecord& record) {
    DIRXWQMFSData& row = rows[index];
    const std::string& sensor = getName();
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);
    uint32_t hash = WQM::putFilesystem(row.drixFilesystem, record, *log);
    hash = keys.claim(hash, [&] { return std::string(row.drixFilesystem); });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
    return true;
}

static volatile RegisterSensorGenerator<SensorDRIXWQMFS> registerSensorDRIXWQMFS(
    SensorID::DRIXWQMFS, SensorDRIXWQMFS::generate);
