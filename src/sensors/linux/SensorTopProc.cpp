// Reads the process table (ProcMap.h) twice per interval and ranks the tasks
// by the CPU ticks (user + kernel) they used in between. Shares are per mille
// of one CPU, so a task keeping two CPUs busy shows about 2000; memory is the
// resident size in per mille of the host's RAM.
#include "SensorTopProc.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "SensorFactory.h"
#include "hostMetricIDs.h"

namespace {

constexpr MetricsMetadata topMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"top", MetricID::top, DT_REPORT, 0, SEMTYPE_REPORT},
};
constexpr uint32_t NUM_METRICS = sizeof topMetas / sizeof topMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};
constexpr uint16_t TOP_REPORT_LEN = sizeof(topReport_t);

static_assert(rowLength(topMetas, 0, 3) == offsetof(topSensorData_t, topReport),
              "the row header follows the table");
static_assert(TOP_REPORT_LEN == 280, "ten 28-byte records");

constexpr uint32_t ENTERPRISE_ID = 2;

IPFIXTopProcType makeEmptyTopItem() {
    IPFIXTopProcType item;
    std::memset(&item, 0, sizeof item);
    std::strcpy(item.procName, "(void)");
    return item;
}
const IPFIXTopProcType EMPTY_TOP_ITEM = makeEmptyTopItem();

uint32_t clockTicksPerSecond() {
    const long t = sysconf(_SC_CLK_TCK);
    // Linux has reported 100 on every architecture for decades.
    return t > 0 && t <= UINT32_MAX ? static_cast<uint32_t>(t) : 100;
}

float ramScaling() {
    struct sysinfo si;
    if (sysinfo(&si) != 0) return 0;
    const double ram = static_cast<double>(si.totalram) * si.mem_unit;
    return ram > 0 ? static_cast<float>(1024000.0 / ram) : 0;
}

}  // namespace

uint16_t perMille(float product) {
    const double v = static_cast<double>(product) + 0.5;
    if (!(v > 0)) return 0;
    if (v >= 65535.0) return 65535;
    return static_cast<uint16_t>(v);
}

bool rankTopProcs(const procInfoMap_t& last, const procInfoMap_t& cur, int64_t elapsedUs,
                  uint32_t ticsPerSec, float memoryScaling, topReport_t& report) {
    if (elapsedUs <= 0 || ticsPerSec == 0) return false;
    const uint64_t e = static_cast<uint64_t>(elapsedUs);
    const uint64_t dtics = (e * ticsPerSec + 500000) / 1000000;
    const float cpuFactor = static_cast<float>(1e9 / (static_cast<double>(e) * ticsPerSec));

    topk_multiset<IPFIXTopProcType, IPFIXTopProcGreater> top(TOPPROC_REPORT_ITEMS);
    auto before = last.begin();
    for (const auto& entry : cur) {
        // Both maps ascend by task id: walk them side by side.
        while (before != last.end() && before->first < entry.first) ++before;
        if (before == last.end() || before->first != entry.first) continue;
        const procInfo_t& now = entry.second;
        const procInfo_t& then = before->second;
        const uint64_t ticksNow = now.utime + now.stime;
        const uint64_t ticksThen = then.utime + then.stime;
        // Fewer ticks than before: the id now names another task.
        const uint64_t ticks = ticksNow > ticksThen ? ticksNow - ticksThen : 0;

        IPFIXTopProcType rec;
        std::memset(&rec, 0, sizeof rec);
        std::memcpy(rec.procName, now.cmd, strnlen(now.cmd, TOPPROC_NAME_LEN - 1));
        rec.pid = static_cast<uint32_t>(entry.first);
        rec.totCPUpm = perMille(static_cast<float>(ticks) * cpuFactor);
        rec.resMempm = perMille(static_cast<float>(now.vmRss) * memoryScaling);
        top.insert(rec);
    }

    const uint32_t interval = static_cast<uint32_t>(dtics);
    size_t slot = 0;
    for (const IPFIXTopProcType& rec : top) {
        IPFIXTopProcType host = rec;
        host.repInterval = interval;
        ipfixTopProcToNet(report[slot++], host);
    }
    // Readers take every record of a report to share one interval, fillers
    // included.
    for (; slot < TOPPROC_REPORT_ITEMS; ++slot) {
        IPFIXTopProcType filler = EMPTY_TOP_ITEM;
        filler.repInterval = interval;
        ipfixTopProcToNet(report[slot], filler);
    }
    return true;
}

SensorTopProc::SensorTopProc()
    : AbstractSensor(SensorID::TopProc, topMetas, NUM_METRICS, sensorSize, 1, 5000000),
      topMetricsDef{{METRIC_ID_NODE, ROW_NODE_LEN, ENTERPRISE_ID},
                    {METRIC_ID_SENSOR, ROW_SENSOR_LEN, ENTERPRISE_ID},
                    {METRIC_ID_METRIC_KEY, ROW_METRIC_KEY_LEN, ENTERPRISE_ID},
                    {MetricID::top, TOP_REPORT_LEN, ENTERPRISE_ID}},
      status(0),
      debug(std::getenv("VELMAR_TOPPROC_DEBUG") != nullptr ? 1 : 0),
      curMap(&m1),
      lastMap(nullptr),
      lastTime{0, 0},
      ticsPerSec(clockTicksPerSecond()),
      memoryScaling(ramScaling()) {
    std::memset(&topMetricData, 0, sizeof topMetricData);
    topMetricDataSet = {0, ROW_LEN, reinterpret_cast<const char*>(&topMetricData)};
    init();
}

SensorTopProc::~SensorTopProc() = default;

AbstractSensor* SensorTopProc::generate() { return new SensorTopProc(); }

int32_t SensorTopProc::init() {
    m1.clear();
    m2.clear();
    curMap = &m1;
    lastMap = nullptr;
    status = 0;
    std::memset(&topMetricData, 0, sizeof topMetricData);
    safeStrncpy(topMetricData.sensorName, getName().c_str(), ROW_SENSOR_LEN);
    const uint32_t nodeID = getNodeID(topMetricData.nodeName, ROW_NODE_LEN);
    writeMetricKey(reinterpret_cast<char*>(&topMetricData.metricKey),
                   MetricKey{nodeID, 0, SensorID::TopProc, 0});
    return 0;
}

const std::vector<FieldSpecifier>* SensorTopProc::getMetricDataDef() const {
    return &topMetricsDef;
}

const dataSet_t* SensorTopProc::getMetricData() {
    topMetricDataSet.numSets = 0;
    timeval now;
    status = loadProcMap(*curMap, now);
    if (status != 0) return &topMetricDataSet;
    if (debug) dumpProcMap(*curMap);

    if (lastMap != nullptr) {
        const int64_t elapsedUs = (static_cast<int64_t>(now.tv_sec) - lastTime.tv_sec) * 1000000 +
                                  (static_cast<int64_t>(now.tv_usec) - lastTime.tv_usec);
        // A clock stepped back leaves no interval to divide by: this scan
        // then counts as a first sample.
        if (rankTopProcs(*lastMap, *curMap, elapsedUs, ticsPerSec, memoryScaling,
                         topMetricData.topReport)) {
            topMetricDataSet.numSets = 1;
        }
    }

    procInfoMap_t* loaded = curMap;
    curMap = loaded == &m1 ? &m2 : &m1;
    curMap->clear();
    lastMap = loaded;
    lastTime = now;
    return &topMetricDataSet;
}

namespace {

// The sensor exists only where the process table can be read.
struct RegisterWhenTableLoads {
    RegisterWhenTableLoads() {
        if (initProcMap() == 0) {
            RegisterSensorGenerator<SensorTopProc>(SensorID::TopProc, SensorTopProc::generate);
        }
    }
};

}  // namespace

static RegisterWhenTableLoads registerSensorTopProc;
