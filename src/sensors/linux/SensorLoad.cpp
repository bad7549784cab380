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

enum Column : uint32_t { COL_NODE = 0, COL_SENSOR = 1, COL_LOAD1 = 3, COL_JOBS = 6 };

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
    : AbstractSensor(SensorID::Load, loadMetas, NUM_METRICS, sensorSize, 1, 1000000),
      writer(loadMetas, NUM_METRICS),
      inFile("/proc/loadavg") {
    std::memset(loadData, 0, sizeof loadData);
    loadDataSet = {1, ROW_LEN, loadData};
}

SensorLoad::~SensorLoad() { inFile.close(); }

AbstractSensor* SensorLoad::generate() { return new SensorLoad(); }

int32_t SensorLoad::init() {
    char node[ROW_NODE_LEN];
    const uint32_t nodeID = getNodeID(node, ROW_NODE_LEN);
    writer.putField(loadData, COL_NODE, node);
    writer.putString(loadData, COL_SENSOR, getName().c_str());
    writer.putKeyFor(loadData, nodeID, SensorID::Load);
    return inFile.open() ? 0 : -1;
}

const dataSet_t* SensorLoad::getMetricData() {
    loadDataSet.numSets = 0;
    std::string_view text;
    if (!inFile.read(text)) return &loadDataSet;
    const LoadavgValues v = parseLoadavg(text);
    for (uint32_t i = 0; i < 3; ++i) {
        // Rounded in double precision, so 1.005 gives 100, not 101.
        writer.putNumber(loadData, COL_LOAD1 + i, cutToCenti(100.0 * v.load[i] + 0.5));
    }
    writer.putNumber(loadData, COL_JOBS, v.total);
    loadDataSet.numSets = 1;
    return &loadDataSet;
}

int32_t SensorLoad::shutdown() {
    inFile.close();
    return 0;
}

static RegisterSensorGenerator<SensorLoad> registerSensorLoad(SensorID::Load, SensorLoad::generate);
