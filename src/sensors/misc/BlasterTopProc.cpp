// A synthetic source: nine made-up processes, proc00 to proc08, whose CPU
// shares follow three sine waves, three rectangular waves and three bounded
// random walks. Each sample is one top-process report in the format of the
// host's top-process sensor, so the ranking changes from sample to sample.
#include "BlasterTopProc.h"

#include <cstdio>
#include <cstring>

#include "Blaster.h"

namespace {

constexpr uint16_t METRIC_ID_TOP_PROC = 10010;

// The report's length is 0 in the metadata: it is given by the data template.
constexpr MetricsMetadata blastMetas[] = {
    {"node", METRIC_ID_NODE, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", METRIC_ID_SENSOR, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"metric_key", METRIC_ID_METRIC_KEY, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"btop", METRIC_ID_TOP_PROC, DT_REPORT, 0, SEMTYPE_REPORT},
};
constexpr uint32_t sensorSize[] = {4};

typedef BlasterTopProc::BTPData Row;
static_assert(sizeof(Row) == 392, "a row is 392 bytes");
static_assert(offsetof(Row, report) == rowLength(blastMetas, 0, 3), "");
static_assert(sizeof(topReport_t) == 280, "ten records of 28 bytes");

// Every process record covers the same made-up interval.
constexpr uint32_t REPORT_INTERVAL = 10;

// Readers take every record of a report, fillers included, to share one
// interval, as the host top-process sensor writes them.
const IPFIXTopProcType EMPTY_TOP_ITEM = {"(void)", 0, 0, 0, REPORT_INTERVAL};

std::vector<FieldSpecifier> makeTopMetricsDef() {
    return {{METRIC_ID_NODE, 64, VELMAR_ENTERPRISE_ID},
            {METRIC_ID_SENSOR, 36, VELMAR_ENTERPRISE_ID},
            {METRIC_ID_METRIC_KEY, 12, VELMAR_ENTERPRISE_ID},
            {METRIC_ID_TOP_PROC, sizeof(topReport_t), VELMAR_ENTERPRISE_ID}};
}

}  // namespace

BlasterTopProc::BlasterTopProc()
    : AbstractSensor(SensorID::Blaster, blastMetas, 4, sensorSize, 1, 1000000),
      topMetricsDef(makeTopMetricsDef()),
      blastMetricDataSet{0, sizeof(Row), reinterpret_cast<const char*>(blastNetByteOrder)},
      counter(0),
      maxCounter(blasterMaxCounterFromEnv()) {
    std::memset(static_cast<void*>(blastNetByteOrder), 0, sizeof blastNetByteOrder);

    generators.push_back(new sin_wave_generator(0.5, 31, 0.5));
    generators.push_back(new rect_wave_generator(0.5, 23, 0.5));
    generators.push_back(new noise_generator(0.5, 0.05, 0.5));
    generators.push_back(new sin_wave_generator(0.5, 37, 0.5));
    generators.push_back(new rect_wave_generator(0.5, 47, 0.5));
    generators.push_back(new noise_generator(0.5, 0.1, 0.5));
    generators.push_back(new sin_wave_generator(0.5, 59, 0.5));
    generators.push_back(new rect_wave_generator(0.5, 67, 0.5));
    generators.push_back(new noise_generator(0.5, 0.07, 0.5));

    for (unsigned i = 0; i < generators.size(); ++i) {
        IPFIXTopProcType proc;
        std::memset(&proc, 0, sizeof proc);
        snprintf(proc.procName, TOPPROC_NAME_LEN - 1, "proc%02u", i % 100);
        proc.pid = i;
        proc.repInterval = REPORT_INTERVAL;
        processes.push_back(proc);
    }
}

BlasterTopProc::~BlasterTopProc() {
    for (wave_generator* g : generators) delete g;
}

int32_t BlasterTopProc::init() {
    blastMetricDataSet.numSets = 1;
    Row& row = blastNetByteOrder[0];
    safeStrncpy(row.sensorName, getName().c_str(), sizeof row.sensorName);
    MetricKey key;
    key.nodeID = getNodeID(row.nodeName, sizeof row.nodeName);
    key.metricClusterID = 0;
    key.sensorID = SensorID::Blaster;
    key.metricID = 0;
    std::memcpy(&row.metricKey, &key, sizeof key);
    return 0;
}

const std::vector<FieldSpecifier>* BlasterTopProc::getMetricDataDef() const {
    return &topMetricsDef;
}

int32_t BlasterTopProc::getStatus() { return 0; }

int32_t BlasterTopProc::shutdown() { return 0; }

const dataSet_t* BlasterTopProc::getMetricData() {
    if (maxCounter != 0 && counter == maxCounter) {
        if (blastMetricDataSet.numSets != 0) {
            log->logInfo("blaster generated %lu data sets", static_cast<unsigned long>(maxCounter));
        }
        blastMetricDataSet.numSets = 0;
        return &blastMetricDataSet;
    }

    const size_t n = processes.size();
    std::vector<double> values(n);
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        values[i] = 1000.0 * generators[i]->value(counter);
        sum += values[i];
    }

    topk_multiset<IPFIXTopProcType, IPFIXTopProcGreater> ranking(TOPPROC_REPORT_ITEMS,
                                                                 IPFIXTopProcGreater());
    for (size_t i = 0; i < n; ++i) {
        // All generators at 0 at once would make every share 0/0.
        const int32_t pm = sum > 0.0 ? static_cast<int32_t>(1000.0 * values[i] / sum) : 0;
        processes[i].totCPUpm = static_cast<uint16_t>(pm);
        processes[i].resMempm = static_cast<uint16_t>(pm);
        ranking.insert(processes[i]);
    }

    IPFIXTopProcType* report = blastNetByteOrder[0].report;
    size_t slot = 0;
    for (const IPFIXTopProcType& proc : ranking) ipfixTopProcToNet(report[slot++], proc);
    for (; slot < TOPPROC_REPORT_ITEMS; ++slot) ipfixTopProcToNet(report[slot], EMPTY_TOP_ITEM);

    ++counter;
    return &blastMetricDataSet;
}
