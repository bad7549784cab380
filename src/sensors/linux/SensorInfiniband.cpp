// Runs "/usr/sbin/ibstatus" and reads, per active port, the counter files of
// /sys/class/infiniband/<device>/ports/<port>/counters/. Four traffic
// counters there are only 32 bits wide on many adapters and wrap within
// seconds; their 64-bit forms in counters_ext/ are read instead when present.
// ibstatus prints, per port:
//   Infiniband device 'mlx5_0' port 1 status:
//   <tab>default gid: ...
//   <tab>state:<tab><tab> 4: ACTIVE
//   <tab>phys state:<tab> 5: LinkUp
#include "SensorInfiniband.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "FNV1AHash.h"
#include "PlatformPaths.h"
#include "SensorFactory.h"
#include "ToolOutput.h"

namespace {

constexpr MetricsMetadata metas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"netdev_name", MetricID::netdev_name, DT_STRING, SensorInfiniband::PORT_NAME_LEN,
     SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"excessive_buffer_overrun_errors", MetricID::ib_buf_overrun_errors, DT_UINT_64, 8,
     SEMTYPE_TOTALCOUNTER},
    {"link_downed", MetricID::ib_link_downed, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"link_error_recovery", MetricID::ib_link_error_recovery, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"local_link_integrity_errors", MetricID::ib_local_link_errors, DT_UINT_64, 8,
     SEMTYPE_TOTALCOUNTER},
    {"port_rcv_constraint_errors", MetricID::ib_rcv_constr_errors, DT_UINT_64, 8,
     SEMTYPE_TOTALCOUNTER},
    {"port_rcv_data", MetricID::ib_rcv_data, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"port_rcv_errors", MetricID::ib_rcv_errors, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"port_rcv_packets", MetricID::ib_rcv_packets, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"port_rcv_remote_physical_errors", MetricID::ib_rcv_rem_phys_errors, DT_UINT_64, 8,
     SEMTYPE_TOTALCOUNTER},
    {"port_rcv_switch_relay_errors", MetricID::ib_rcv_sx_relay_errors, DT_UINT_64, 8,
     SEMTYPE_TOTALCOUNTER},
    {"port_xmit_constraint_errors", MetricID::ib_xmt_constr_errors, DT_UINT_64, 8,
     SEMTYPE_TOTALCOUNTER},
    {"port_xmit_data", MetricID::ib_xmt_data, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"port_xmit_discards", MetricID::ib_xmt_discards, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"port_xmit_packets", MetricID::ib_xmt_packets, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"symbol_error", MetricID::ib_symbol_error, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"VL15_dropped", MetricID::ib_vl15_dropped, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t NUM_METRICS = sizeof metas / sizeof metas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

enum Column : uint32_t { COL_NODE = 0, COL_SENSOR = 1, COL_NAME = 2, COL_COUNTERS = 4 };

static_assert(rowLength(metas, 0, NUM_METRICS) == SensorInfiniband::ROW_LEN,
              "record length follows the table");
static_assert(COL_COUNTERS + SensorInfiniband::NUM_COUNTERS == NUM_METRICS, "");
static_assert(columnOffset(metas, COL_COUNTERS) == 144, "");

const char* const GET_ADAPTERS_CMD = "/usr/sbin/ibstatus";
const char* const STATE_ACTIVE = "ACTIVE";
const std::string COUNTERS_BASE = "/sys/class/infiniband/%s/ports/%u/counters/";
const std::string COUNTERS_BASE_EXT = "/sys/class/infiniband/%s/ports/%u/counters_ext/";

struct ibMetricFile_t {
    const std::string& fileFmtPtr;
    const char* metricName;
};

// The counter file of each counter column, in column order: the file names
// are the metric names.
const ibMetricFile_t ibMetricFile[SensorInfiniband::NUM_COUNTERS] = {
    {COUNTERS_BASE, metas[COL_COUNTERS + 0].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 1].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 2].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 3].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 4].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 5].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 6].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 7].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 8].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 9].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 10].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 11].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 12].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 13].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 14].metricName},
    {COUNTERS_BASE, metas[COL_COUNTERS + 15].metricName},
};

// The extended counters the kernel offers; only the four traffic counters of
// m_64 are read, from "<name>_64".
const ibMetricFile_t ibExtMetricFile[] = {
    {COUNTERS_BASE_EXT, "port_multicast_rcv_packets"},
    {COUNTERS_BASE_EXT, "port_multicast_xmit_packets"},
    {COUNTERS_BASE_EXT, "port_rcv_data_64"},
    {COUNTERS_BASE_EXT, "port_rcv_packets_64"},
    {COUNTERS_BASE_EXT, "port_unicast_rcv_packets"},
    {COUNTERS_BASE_EXT, "port_unicast_xmit_packets"},
    {COUNTERS_BASE_EXT, "port_xmit_data_64"},
    {COUNTERS_BASE_EXT, "port_xmit_packets_64"},
};
const char* const m_64[] = {"port_rcv_data", "port_rcv_packets", "port_xmit_data",
                            "port_xmit_packets"};
const std::vector<std::string> metrics_64(std::begin(m_64), std::end(m_64));

bool hasExtCounter(const char* name) {
    for (const std::string& m : metrics_64) {
        if (m == name) return true;
    }
    return false;
}

// ibstatus prints a few lines per port.
constexpr size_t MAX_IBSTATUS_OUTPUT = 1024 * 1024;
// A longer line is looked at only this far.
constexpr size_t MAX_LINE = 255;
// A counter file holds one number.
constexpr size_t MAX_COUNTER_FILE = 64;

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void skipBlanks(std::string_view& s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
}

bool takeLiteral(std::string_view& s, std::string_view literal) {
    if (s.substr(0, literal.size()) != literal) return false;
    s.remove_prefix(literal.size());
    return true;
}

bool takeDecimal(std::string_view& s, uint64_t limit, uint64_t& value) {
    size_t i = 0;
    uint64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        const uint64_t d = static_cast<uint64_t>(s[i] - '0');
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
        ++i;
    }
    if (i == 0) return false;
    s.remove_prefix(i);
    value = v;
    return true;
}

// "Infiniband device '<device>' port <n>" at the start of the line; the
// device name is at most 255 characters and holds no quote.
bool matchDeviceLine(std::string_view s, std::string_view& device, uint32_t& port) {
    if (!takeLiteral(s, "Infiniband")) return false;
    skipBlanks(s);
    if (!takeLiteral(s, "device")) return false;
    skipBlanks(s);
    if (!takeLiteral(s, "'")) return false;
    const size_t quote = s.find('\'');
    if (quote == 0 || quote == std::string_view::npos || quote > MAX_LINE) return false;
    device = s.substr(0, quote);
    s.remove_prefix(quote + 1);
    skipBlanks(s);
    if (!takeLiteral(s, "port")) return false;
    skipBlanks(s);
    uint64_t n = 0;
    if (!takeDecimal(s, UINT32_MAX, n)) return false;
    port = static_cast<uint32_t>(n);
    return true;
}

// "state: 4: <word>" after any leading blanks; the word is at most 255
// characters.
bool matchStateLine(std::string_view s, std::string_view& word) {
    skipBlanks(s);
    if (!takeLiteral(s, "state:")) return false;
    skipBlanks(s);
    if (!takeLiteral(s, "4:")) return false;
    skipBlanks(s);
    size_t i = 0;
    while (i < s.size() && i < MAX_LINE && !isBlank(s[i])) ++i;
    if (i == 0) return false;
    word = s.substr(0, i);
    return true;
}

// Device names come from the tool's output and become part of sysfs paths.
bool isSafeDeviceName(std::string_view name) {
    return name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace

void parseIbstatus(std::string_view text, IbStatus& status) {
    status.deviceFound = false;
    status.devices.clear();
    status.active.clear();
    // The port the following state lines belong to; none before the first
    // device line, and none after a device line whose name is not usable.
    bool havePort = false;
    std::pair<std::string, uint32_t> key;
    std::string portName;

    std::string_view line;
    while (ProcText::nextLine(text, line)) {
        if (line.size() > MAX_LINE) line = line.substr(0, MAX_LINE);
        const bool deviceLike = line.find("Infiniband device") != std::string_view::npos;
        if (!deviceLike && line.find("\tstate:") == std::string_view::npos) continue;

        std::string_view device, word;
        uint32_t port = 0;
        if (matchDeviceLine(line, device, port)) {
            status.deviceFound = true;
            portName.assign(device);
            portName += "_port_";
            portName += std::to_string(port);
            status.devices.push_back(portName);
            havePort = isSafeDeviceName(device);
            key = {std::string(device), port};
        } else if (matchStateLine(line, word)) {
            if (havePort && word == STATE_ACTIVE) status.active[key] = portName;
        }
    }
}

bool parseIbCounter(std::string_view text, uint64_t& value) {
    skipBlanks(text);
    return takeDecimal(text, UINT64_MAX, value);
}

SensorInfiniband::SensorInfiniband()
    : AbstractSensor(SensorID::Infiniband, metas, NUM_METRICS, sensorSize, 1, 1000000),
      writer(metas, NUM_METRICS),
      nodeID(0) {
    std::memset(nodeName, 0, sizeof nodeName);
    ibMetricDataSet = {0, ROW_LEN, nullptr};
}

SensorInfiniband::~SensorInfiniband() = default;

AbstractSensor* SensorInfiniband::generate() { return new SensorInfiniband(); }

int32_t SensorInfiniband::init() {
    nodeID = getNodeID(nodeName, ROW_NODE_LEN);
    return populateIBDevMap() ? 0 : -1;
}

bool SensorInfiniband::populateIBDevMap() {
    const std::string cmd = Platform::path(GET_ADAPTERS_CMD);
    if (access(cmd.c_str(), R_OK | X_OK) != 0) {
        log->logError("populateIBDevMap: unable to execute %s", GET_ADAPTERS_CMD);
        return false;
    }
    const ToolResult r =
        runTool(cmd, {cmd}, toolTimeoutMs(getPollPeriod()), MAX_IBSTATUS_OUTPUT, output);
    if (r == ToolResult::NotStarted) return false;
    if (r == ToolResult::TimedOut) {
        log->logWarning("populateIBDevMap: %s did not finish in time and was ended",
                        GET_ADAPTERS_CMD);
        return false;
    }
    if (r == ToolResult::ReadError) return false;

    parseIbstatus(output, status);
    for (const std::string& name : status.devices) {
        log->logDebug("populateIBDevMap: Infiniband device found: %s", name.c_str());
    }
    for (const auto& port : status.active) {
        log->logDebug("populateIBDevMap: active device found: %s", port.second.c_str());
    }
    ibMap.swap(status.active);
    return status.deviceFound;
}

bool SensorInfiniband::getIBCounter(const std::string& ibDev, uint32_t port,
                                    const std::string& pathTmpl, uint64_t* valPtr) {
    char path[1024];
    const int n = std::snprintf(path, sizeof path, pathTmpl.c_str(), ibDev.c_str(), port);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return false;
    FILE* f = std::fopen(Platform::path(path).c_str(), "re");
    if (f == nullptr) return false;
    char buf[MAX_COUNTER_FILE];
    const size_t got = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    uint64_t value = 0;
    if (!parseIbCounter(std::string_view(buf, got), value)) return false;
    *valPtr = htobe64(value);
    return true;
}

const dataSet_t* SensorInfiniband::getMetricData() {
    ibMetricDataSet.numSets = 0;
    if (!populateIBDevMap()) return &ibMetricDataSet;
    ibMetricData.clear();

    uint32_t rows = 0;
    for (const auto& port : ibMap) {
        const std::string& device = port.first.first;
        const uint32_t portNo = port.first.second;
        // Zeroed first: a counter that cannot be read is sent as 0.
        ibMetricData.resize(ibMetricData.size() + ROW_LEN, 0);
        char* row = ibMetricData.data() + ibMetricData.size() - ROW_LEN;
        std::memset(row, 0, ROW_LEN);
        writer.putField(row, COL_NODE, nodeName);
        writer.putString(row, COL_SENSOR, getName().c_str());
        writer.putString(row, COL_NAME, port.second.c_str());
        writer.putKeyFor(row, nodeID, SensorID::Infiniband);

        for (int i = 0; i < NUM_COUNTERS; ++i) {
            const ibMetricFile_t& file = ibMetricFile[i];
            uint64_t value = 0;
            bool read = false;
            if (hasExtCounter(file.metricName)) {
                const std::string ext = ibExtMetricFile[0].fileFmtPtr + file.metricName + "_64";
                read = getIBCounter(device, portNo, ext, &value);
            }
            if (!read)
                read = getIBCounter(device, portNo, file.fileFmtPtr + file.metricName, &value);
            if (read) std::memcpy(row + writer.offset(COL_COUNTERS + i), &value, sizeof value);
        }
        ++rows;
    }
    ibMetricDataSet = {rows, ROW_LEN, ibMetricData.data()};
    return &ibMetricDataSet;
}

static RegisterSensorGenerator<SensorInfiniband> registerSensorInfiniband(
    SensorID::Infiniband, SensorInfiniband::generate);
