// Reads /proc/net/dev: two header lines, then one line per interface,
// "  name: rx bytes packets errs drop fifo frame compressed multicast
// tx bytes packets errs drop fifo colls carrier compressed". The kernel pads
// names on the left and, for large counters, leaves no blank after the ':'.
// The counters are running totals and are sent as read.
#include "SensorNetwork.h"

#include <cstring>

#include "SensorFactory.h"
#include "hostMetricIDs.h"

namespace {

constexpr MetricsMetadata netMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"netdev_name", MetricID::netdev_name, DT_STRING, 32, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"netdev_bytes_r", MetricID::netdev_bytes_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_packets_r", MetricID::netdev_packets_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_errors_r", MetricID::netdev_errors_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_drops_r", MetricID::netdev_drops_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_fifo_r", MetricID::netdev_fifo_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_frames_r", MetricID::netdev_frames_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_compressed_r", MetricID::netdev_compressed_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_multicast_r", MetricID::netdev_multicast_r, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_bytes_s", MetricID::netdev_bytes_s, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_packets_s", MetricID::netdev_packets_s, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_errors_s", MetricID::netdev_errors_s, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_drops_s", MetricID::netdev_drops_s, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_fifo_s", MetricID::netdev_fifo_s, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_collisions", MetricID::netdev_collisions, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_carrier", MetricID::netdev_carrier, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"netdev_compressed_s", MetricID::netdev_compressed_s, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t NUM_METRICS = sizeof netMetas / sizeof netMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

enum Column : uint32_t { COL_NODE = 0, COL_SENSOR = 1, COL_NAME = 2, COL_COUNTERS = 4 };

static_assert(rowLength(netMetas, 0, NUM_METRICS) == SensorNetwork::ROW_LEN,
              "record length follows the table");
static_assert(COL_COUNTERS + NUM_NETDEV_COUNTERS == NUM_METRICS, "one column per counter");
static_assert(netMetas[COL_NAME].metricID == MetricID::netdev_name, "");
static_assert(columnOffset(netMetas, COL_COUNTERS) == 144, "");

// The second header line without its blanks: the counters are read in this
// column order.
constexpr char netFileSecondLine[] =
    "face|bytespacketserrsdropfifoframecompressedmulticast|"
    "bytespacketserrsdropfifocollscarriercompressed";
constexpr size_t SECOND_LINE_LEN = sizeof netFileSecondLine - 1;
static_assert(SECOND_LINE_LEN == 100, "");

constexpr char filter_key[] = "netdev_name";

// Interface names are at most 15 characters; anything much longer is not an
// interface line (and would only burden the filter's matcher).
constexpr size_t MAX_NAME_LEN = 255;

const char* const PROC_NET_DEV = "/proc/net/dev";

}  // namespace

void parseNetDev(std::string_view text, NetDevTable& table) {
    table.entries.clear();
    table.skippedLines = 0;
    table.headerOK = false;

    std::string_view first, second;
    if (!ProcText::nextLine(text, first) || !ProcText::nextLine(text, second)) return;
    std::string header;
    header.reserve(second.size());
    for (char c : second) {
        if (c != ' ') header.push_back(c);
    }
    if (header.compare(0, SECOND_LINE_LEN, netFileSecondLine) != 0) return;
    table.headerOK = true;

    std::string_view line;
    while (ProcText::nextLine(text, line)) {
        ProcText::skipSpace(line);
        if (line.empty()) continue;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon > MAX_NAME_LEN) {
            ++table.skippedLines;
            continue;
        }
        NetDevEntry entry;
        entry.name = line.substr(0, colon);
        std::string_view rest = line.substr(colon + 1);
        int i = 0;
        for (; i < NUM_NETDEV_COUNTERS; ++i) {
            if (!ProcText::readU64(rest, entry.counters[i])) break;
        }
        for (; i < NUM_NETDEV_COUNTERS; ++i) entry.counters[i] = 0;
        table.entries.push_back(entry);
    }
}

SensorNetwork::SensorNetwork()
    : AbstractSensor(SensorID::Network, netMetas, NUM_METRICS, sensorSize, 1, 1000000),
      writer(netMetas, NUM_METRICS),
      procNetFile(PROC_NET_DEV),
      exclude(filter_key),
      nodeID(0) {
    std::memset(nodeName, 0, sizeof nodeName);
    netMetricDataSet = {0, 0, nullptr};
}

SensorNetwork::~SensorNetwork() { procNetFile.close(); }

AbstractSensor* SensorNetwork::generate() { return new SensorNetwork(); }

int32_t SensorNetwork::init() {
    nodeID = getNodeID(nodeName, ROW_NODE_LEN);
    return procNetFile.open() ? 0 : -1;
}

const dataSet_t* SensorNetwork::getMetricData() {
    netMetricDataSet.numSets = 0;
    unsigned count = 0;
    if (parseInputFile(count)) {
        netMetricDataSet.setLength = ROW_LEN;
        netMetricDataSet.data = netMetricData.data();
        netMetricDataSet.numSets = count;
    }
    return &netMetricDataSet;
}

bool SensorNetwork::parseInputFile(unsigned& count) {
    exclude.update(filter, *log);
    netMetricData.clear();
    count = 0;

    std::string_view text;
    if (!procNetFile.read(text)) {
        log->logError("Could not read from %s", PROC_NET_DEV);
        return false;
    }
    parseNetDev(text, table);
    if (!table.headerOK) {
        log->logError("Unexpected content in %s", PROC_NET_DEV);
        return false;
    }
    if (table.skippedLines != 0) {
        log->logWarning("Skipped %u malformed lines of %s", table.skippedLines, PROC_NET_DEV);
    }

    for (const NetDevEntry& entry : table.entries) {
        if (exclude.excludes(entry.name)) {
            const std::string name(entry.name);
            log->logDebug("Data for key %s wasn't used because of filter %s", name.c_str(),
                          exclude.pattern().c_str());
            continue;
        }
        netMetricData.resize(netMetricData.size() + ROW_LEN);
        char* row = netMetricData.data() + netMetricData.size() - ROW_LEN;
        writer.putField(row, COL_NODE, nodeName);
        writer.putString(row, COL_SENSOR, getName().c_str());
        writer.putString(row, COL_NAME, entry.name);
        writer.putKeyFor(row, nodeID, SensorID::Network);
        for (int i = 0; i < NUM_NETDEV_COUNTERS; ++i) {
            writer.putNumber(row, COL_COUNTERS + i, entry.counters[i]);
        }
        ++count;
    }
    return true;
}

int32_t SensorNetwork::shutdown() {
    procNetFile.close();
    return 0;
}

static RegisterSensorGenerator<SensorNetwork> registerSensorNetwork(SensorID::Network,
                                                                    SensorNetwork::generate);
