// Source: "tallyq wqm fset", one record per fileset: "_fs_", "_fset_" and
// the WQM statistics in the main part.
#include "SensorDRIXWQMFSet.h"

#include <cstddef>
#include <cstring>

#include "FNV1AHash.h"
#include "SensorDRIXWQMFS.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata head[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fset_name", 13007, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
};
constexpr auto drixWQMFSetMetas = WQM::table(head, "drix_wqm_fset_", 14000);
constexpr uint32_t sensorSize[] = {drixWQMFSetMetas.size()};

static_assert(drixWQMFSetMetas.size() == 143, "");
static_assert(sizeof(DIRXWQMFSETData) == 1336, "");
static_assert(sizeof(DIRXWQMFSETData) == rowLength(drixWQMFSetMetas.data(), 0, 143), "");
static_assert(offsetof(DIRXWQMFSETData, drixFileSet) == columnOffset(drixWQMFSetMetas.data(), 3),
              "");
static_assert(offsetof(DIRXWQMFSETData, metricKey) == columnOffset(drixWQMFSetMetas.data(), 4), "");
static_assert(offsetof(DIRXWQMFSETData, wqmDataSet) == columnOffset(drixWQMFSetMetas.data(), 5),
              "");

const std::string FILESET = "_fset_";

}  // namespace

SensorDRIXWQMFSet::SensorDRIXWQMFSet()
    : WQMRowsSensor(drixWQMFSetMetas.data(), drixWQMFSetMetas.size(), sensorSize, 1,
                    SensorID::DRIXWQMFSET, "tallyq wqm fset") {}

AbstractSensor* SensorDRIXWQMFSet::generate() { return new SensorDRIXWQMFSet(); }

bool SensorDRIXWQMFSet::fillInKeys(uint32_t index, const TallyqRecord& record) {
    DIRXWQMFSETData& row = rows[index];
    const std::string& sensor = getName();
    std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
    safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);
    uint32_t hash = WQM::putFilesystem(row.drixFilesystem, record, *log);
    if (const char* fileset = record.getStrMain(FILESET, *log)) {
        safeStrncpy(row.drixFileSet, fileset, sizeof row.drixFileSet);
        hash = FNV1AHashAppend32(hash, row.drixFileSet, sizeof row.drixFileSet);
        if (row.drixFileSet[0] == '\0')
            safeStrncpy(row.drixFileSet, "unknown", sizeof row.drixFileSet);
    } else {
        safeStrncpy(row.drixFileSet, "unknown", sizeof row.drixFileSet);
    }
    hash = keys.claim(hash, [&] { return joinKeyText({row.drixFilesystem, row.drixFileSet}); });
    writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                   MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
    return true;
}

static volatile RegisterSensorGenerator<SensorDRIXWQMFSet> registerSensorDRIXWQMFSet(
    SensorID::DRIXWQMFSET, SensorDRIXWQMFSet::generate);
