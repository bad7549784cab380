// Reads /proc/stat. The aggregate line "cpu  user nice system idle iowait irq
// softirq steal guest guest_nice" counts clock ticks since boot; the columns
// from iowait on came with later kernels (steal in 2.6.11, guest in 2.6.24,
// guest_nice in 2.6.33), so missing ones read as 0. The kernel already counts
// guest time inside user (and guest_nice inside nice); the shares take it out
// again so that the ten shares add up to 100 %.
#include "SensorCPU.h"

#include <cstring>

#include "SensorFactory.h"
#include "hostMetricIDs.h"

namespace {

constexpr MetricsMetadata cpuMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"cpu_interrupts", MetricID::cpu_interrupts, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"cpu_contexts", MetricID::cpu_contexts, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"cpu_user", MetricID::cpu_user, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_nice", MetricID::cpu_nice, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_system", MetricID::cpu_system, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_idle", MetricID::cpu_idle, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_iowait", MetricID::cpu_iowait, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_hiq", MetricID::cpu_hiq, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_siq", MetricID::cpu_siq, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_steal", MetricID::cpu_steal, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_guest", MetricID::cpu_guest, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"cpu_guest_nice", MetricID::cpu_guest_nice, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
};
constexpr uint32_t NUM_METRICS = sizeof cpuMetas / sizeof cpuMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

enum Column : uint32_t { COL_INTR = 3, COL_CTXT = 4, COL_SHARES = 5 };

static_assert(rowLength(cpuMetas, 0, NUM_METRICS) == SensorCPU::ROW_LEN,
              "record length follows the table");
static_assert(cpuMetas[COL_INTR].metricID == MetricID::cpu_interrupts, "");
static_assert(cpuMetas[COL_SHARES].metricID == MetricID::cpu_user, "");
static_assert(COL_SHARES + NUM_CPU_VALS == NUM_METRICS, "one share per time column");
static_assert(columnOffset(cpuMetas, COL_SHARES) == 128, "");

enum CpuIndex { USER = 0, NICE = 1, STEAL = 7, GUEST = 8, GUEST_NICE = 9 };

}  // namespace

void parseProcStat(std::string_view text, ProcStatCounters& counters) {
    std::string_view line;
    while (ProcText::nextLine(text, line)) {
        // The per-processor lines ("cpu0 ...") have a digit after "cpu".
        if (line.find("cpu ") != std::string_view::npos) {
            std::string_view rest = line.substr(4);
            std::memset(counters.cpu, 0, sizeof counters.cpu);
            for (int i = 0; i < NUM_CPU_VALS; ++i) {
                if (!ProcText::readU64(rest, counters.cpu[i])) break;
            }
            // Some kernels count all user time as nice.
            if (counters.cpu[USER] == 0 && counters.cpu[NICE] != 0) {
                counters.cpu[USER] = counters.cpu[NICE];
                counters.cpu[NICE] = 0;
            }
        } else if (line.find("intr ") != std::string_view::npos) {
            std::string_view rest = line.substr(5);
            ProcText::readU64(rest, counters.intr);
        } else if (line.find("ctxt ") != std::string_view::npos) {
            std::string_view rest = line.substr(5);
            ProcText::readU64(rest, counters.ctxt);
        }
    }
}

SensorCPU::SensorCPU()
    : ProcRowSensor(SensorID::CPU, cpuMetas, NUM_METRICS, sensorSize, "/proc/stat") {
    std::memset(cpuDataPrev, 0, sizeof cpuDataPrev);
    std::memset(&current, 0, sizeof current);
}

AbstractSensor* SensorCPU::generate() { return new SensorCPU(); }

const dataSet_t* SensorCPU::getMetricData() {
    std::string_view text;
    if (!inFile.read(text)) {
        // Counters stay as they were, so the next good sample spans both.
        dataSet.numSets = 0;
        return &dataSet;
    }
    parseProcStat(text, current);
    // A user total of 0 marks the first sample: nothing to compare with yet.
    dataSet.numSets = cpuDataPrev[USER] != 0 ? 1 : 0;
    if (!computeDeltaAndStoreResults()) dataSet.numSets = 0;
    return &dataSet;
}

bool SensorCPU::computeDeltaAndStoreResults() {
    uint64_t delta[NUM_CPU_VALS];
    for (int i = 0; i < NUM_CPU_VALS; ++i) {
        // A counter that went backwards (a reset, or a processor taken
        // offline) contributes nothing this time rather than its whole total.
        delta[i] = current.cpu[i] >= cpuDataPrev[i] ? current.cpu[i] - cpuDataPrev[i] : 0;
        cpuDataPrev[i] = current.cpu[i];
    }
    // Guest time is already inside user and nice: leave it out of the total.
    double total = 0;
    for (int i = USER; i <= STEAL; ++i) total += static_cast<double>(delta[i]);

    writer.putNumber(row, COL_INTR, current.intr);
    writer.putNumber(row, COL_CTXT, current.ctxt);

    if (!(total > 0)) {
        for (uint32_t i = 0; i < NUM_CPU_VALS; ++i) {
            writer.putNumber(row, COL_SHARES + i, 0xFFFFFFFFu);
        }
        return false;
    }

    uint64_t d[NUM_CPU_VALS];
    d[USER] = delta[GUEST] > delta[USER] ? 0 : delta[USER] - delta[GUEST];
    d[NICE] = delta[GUEST_NICE] > delta[NICE] ? 0 : delta[NICE] - delta[GUEST_NICE];
    for (int i = 2; i <= STEAL; ++i) d[i] = delta[i];
    d[GUEST] = delta[USER] < delta[GUEST] ? delta[USER] : delta[GUEST];
    d[GUEST_NICE] = delta[NICE] < delta[GUEST_NICE] ? delta[NICE] : delta[GUEST_NICE];

    for (uint32_t i = 0; i < NUM_CPU_VALS; ++i) {
        const double share = static_cast<double>(d[i]) / total * 10000.0 + 0.5;
        writer.putNumber(row, COL_SHARES + i, cutToCenti(share));
    }
    return true;
}

static RegisterSensorGenerator<SensorCPU> registerSensorCPU(SensorID::CPU, SensorCPU::generate);
