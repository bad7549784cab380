// Source: "tallyq wqm", one record with the node's WQM statistics in its
// main part. Should a reply hold more records, each is read into the one
// row, which then carries the last record's values.
#include "SensorDRIXWQM.h"

#include <cstddef>
#include <cstring>

#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata head[] = {ROW_HEADER_NODE, ROW_HEADER_SENSOR, ROW_HEADER_METRIC_KEY};
constexpr auto drixWQMMetas = WQM::table(head, "drix_wqm_", 13600);
constexpr uint32_t sensorSize[] = {drixWQMMetas.size()};

static_assert(drixWQMMetas.size() == 141, "");
static_assert(sizeof(DIRXWQMData) == 1208, "");
static_assert(sizeof(DIRXWQMData) == rowLength(drixWQMMetas.data(), 0, 141), "");
static_assert(offsetof(DIRXWQMData, wqmDataSet) == columnOffset(drixWQMMetas.data(), 3), "");

}  // namespace

SensorDRIXWQM::SensorDRIXWQM()
    : SensorDRIXWQMBase(drixWQMMetas.data(), drixWQMMetas.size(), sensorSize, 1, SensorID::DRIXWQM,
                        "tallyq wqm", sizeof(DIRXWQMData)),
      wqmData{} {}

AbstractSensor* SensorDRIXWQM::generate() { return new SensorDRIXWQM(); }

void* SensorDRIXWQM::allocateWQMMetricData(uint32_t) { return &wqmData; }

bool SensorDRIXWQM::fillInKeys(uint32_t, const TallyqRecord&) {
    std::memcpy(wqmData.nodeName, nodeName, sizeof wqmData.nodeName);
    safeStrncpy(wqmData.sensorName, getName().c_str(), sizeof wqmData.sensorName);
    writeMetricKey(reinterpret_cast<char*>(&wqmData.metricKey),
                   MetricKey{nodeID, 0, static_cast<uint16_t>(sensorID), 0});
    return true;
}

DRIXWQMDataSet* SensorDRIXWQM::getWQMMetricPtr(uint32_t) { return &wqmData.wqmDataSet; }

static volatile RegisterSensorGenerator<SensorDRIXWQM> registerSensorDRIXWQM(
    SensorID::DRIXWQM, SensorDRIXWQM::generate);
