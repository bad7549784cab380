// Reads /proc/loadavg: three load averages, "running/total" scheduling
// entities and the last process ID, which is not reported.
#include "SensorLoad.h"

#include <cstring>

#include "SensorFactory.h"
#include "hostMetricIDs.h"

namespace {

constexpr MetricsMetadata loadMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"load1", MetricID::load1, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"load5", MetricID::load5, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"load15", MetricID::load15, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"jobs", MetricID::jobs, DT_UINT_32, 4, SEMTYPE_QUANTITY},
};
constexpr uint32_t NUM_METRICS = sizeof loadMetas / sizeof loadMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

enum Column : uint32_t { COL_LOAD1 = 3, COL_JOBS = 6 };

static_assert(rowLength(loadMetas, 0, NUM_METRICS) == SensorLoad::ROW_LEN,
              "record length follows the table");
static_assert(loadMetas[COL_LOAD1].metricID == MetricID::load1, "");
static_assert(loadMetas[COL_JOBS].metricID == MetricID::jobs, "");

}  // namespace

LoadavgValues parseLoadavg(std::string_view text) {
    LoadavgValues v;
    for (double& load : v.load) {
        if (!ProcText::readDouble(text, load)) return v;
    }
    uint32_t running = 0;
    if (!ProcText::readU32(text, running)) return v;
    v.running = running;
    // One character, the '/', separates the two counts.
    ProcText::skipSpace(text);
    if (text.empty()) return v;
    text.remove_prefix(1);
    ProcText::readU32(text, v.total);
    return v;
}

SensorLoad::SensorLoad()
    : ProcRowSensor(SensorID::Load, loadMetas, NUM_METRICS, sensorSize, "/proc/loadavg") {}

AbstractSensor* SensorLoad::generate() { return new SensorLoad(); }

const dataSet_t* SensorLoad::getMetricData() {
    dataSet.numSets = 0;
    std::string_view text;
    if (!inFile.read(text)) return &dataSet;
    const LoadavgValues v = parseLoadavg(text);
    for (uint32_t i = 0; i < 3; ++i) {
        // Rounded in double precision, so 1.005 gives 100, not 101.
        writer.putNumber(row, COL_LOAD1 + i, cutToCenti(100.0 * v.load[i] + 0.5));
    }
    writer.putNumber(row, COL_JOBS, v.total);
    dataSet.numSets = 1;
    return &dataSet;
}

static RegisterSensorGenerator<SensorLoad> registerSensorLoad(SensorID::Load, SensorLoad::generate);
