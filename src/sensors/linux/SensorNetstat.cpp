// Reads /proc/net/tcp, the kernel's IPv4 TCP socket table: a header line,
// then per socket "sl local_address rem_address st tx_queue:rx_queue ...".
// Addresses are "AAAAAAAA:PPPP" in hex, the address as the host stores it
// (so 127.0.0.1 reads 0100007F on x86), the state is the kernel's TCP state
// number in hex. A loopback connection appears twice, once for each end.
#include "SensorNetstat.h"

#include <cstring>

#include "SensorFactory.h"
#include "hostMetricIDs.h"

namespace {

constexpr MetricsMetadata netstatMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"ns_established", MetricID::ns_established, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"ns_timewait", MetricID::ns_timewait, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"ns_closewait", MetricID::ns_closewait, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"ns_listen", MetricID::ns_listen, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"ns_localconn", MetricID::ns_localconn, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"ns_remoteconn", MetricID::ns_remoteconn, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"ns_local_bytes_s", MetricID::ns_local_bytes_s, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ns_local_bytes_r", MetricID::ns_local_bytes_r, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ns_remote_bytes_s", MetricID::ns_remote_bytes_s, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ns_remote_bytes_r", MetricID::ns_remote_bytes_r, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t NUM_METRICS = sizeof netstatMetas / sizeof netstatMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

enum Column : uint32_t {
    COL_NODE = 0,
    COL_SENSOR = 1,
    COL_ESTABLISHED = 3,
    COL_TIMEWAIT,
    COL_CLOSEWAIT,
    COL_LISTEN,
    COL_LOCALCONN,
    COL_REMOTECONN,
    COL_LOCAL_TX,
    COL_LOCAL_RX,
    COL_REMOTE_TX,
    COL_REMOTE_RX,
};

static_assert(rowLength(netstatMetas, 0, NUM_METRICS) == SensorNetstat::ROW_LEN,
              "record length follows the table");
static_assert(COL_REMOTE_RX + 1 == NUM_METRICS, "");
static_assert(netstatMetas[COL_LISTEN].metricID == MetricID::ns_listen, "");
static_assert(netstatMetas[COL_LOCAL_TX].metricID == MetricID::ns_local_bytes_s, "");

enum TcpState : uint32_t { ESTABLISHED = 1, TIME_WAIT = 6, CLOSE_WAIT = 8, LISTEN = 10 };

const char* const netstatFile = "/proc/net/tcp";

// Value of each hex digit, -1 for every other byte: the table is read once
// for every character of a busy host's socket table.
struct HexDigits {
    int8_t value[256];
    constexpr HexDigits() : value() {
        for (int i = 0; i < 256; ++i) value[i] = -1;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<int8_t>(10 + i);
            value['A' + i] = static_cast<int8_t>(10 + i);
        }
    }
};
constexpr HexDigits HEX;

inline int hexDigit(char c) { return HEX.value[static_cast<unsigned char>(c)]; }

// The kernel prints the address as eight hex digits, the first octet last.
// The groups are decoded one by one as getIntFromHex would, so a stray
// character reads as it does there.
void decodeIPv4(std::string_view addr, uint32_t octets[4]) {
    for (int i = 0; i < 4; ++i) octets[i] = getIntFromHex(addr.substr(6 - 2 * i, 2));
}

// Splits "X:Y" into its two pieces; false unless there is exactly one ':'.
bool splitPair(std::string_view field, std::string_view& first, std::string_view& second) {
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || field.find(':', colon + 1) != std::string_view::npos) {
        return false;
    }
    first = field.substr(0, colon);
    second = field.substr(colon + 1);
    return true;
}

// Loopback or wildcard, as "127.0.0.1" and "0.0.0.0" exactly: other loopback
// addresses count as remote.
bool isLocal(const uint32_t o[4]) {
    return (o[0] == 127 && o[1] == 0 && o[2] == 0 && o[3] == 1) ||
           (o[0] == 0 && o[1] == 0 && o[2] == 0 && o[3] == 0);
}

}  // namespace

uint32_t getIntFromHex(std::string_view hexString) {
    ProcText::skipSpace(hexString);
    uint64_t v = 0;
    for (char c : hexString) {
        const int d = hexDigit(c);
        if (d < 0) break;
        v = v * 16 + static_cast<unsigned>(d);
        if (v > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(v);
}

void parseAddrPort(std::string_view addr_port, std::string& ipaddr, std::string& port) {
    std::string_view addr, portHex;
    if (!splitPair(addr_port, addr, portHex) || addr.size() < 8) {
        ipaddr = "NULL";
        port = "NULL";
        return;
    }
    uint32_t o[4];
    decodeIPv4(addr, o);
    ipaddr = std::to_string(o[0]) + "." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." +
             std::to_string(o[3]);
    port = std::to_string(getIntFromHex(portHex));
}

NetstatCounts parseNetTcp(std::string_view text) {
    NetstatCounts n;
    std::string_view line;
    if (!ProcText::nextLine(text, line)) return n;  // the column header
    while (ProcText::nextLine(text, line)) {
        std::string_view tokens[5];
        int found = 0;
        while (found < 5 && !(tokens[found] = ProcText::readWord(line)).empty()) ++found;
        if (found < 5) {
            if (found > 0) ++n.skippedLines;
            continue;
        }
        const uint32_t state = getIntFromHex(tokens[3]);
        if (state != ESTABLISHED) {
            if (state < 12) ++n.states[state];
            continue;
        }

        // An address of fewer than eight digits or a queue column without
        // its ':' cannot come from the kernel: the line is skipped whole.
        // An address without exactly one ':' is neither loopback nor wildcard.
        bool local = false;
        bool malformed = false;
        for (int t = 1; t <= 2; ++t) {
            std::string_view addr, portHex;
            if (!splitPair(tokens[t], addr, portHex)) continue;
            if (addr.size() < 8) {
                malformed = true;
                break;
            }
            uint32_t o[4];
            decodeIPv4(addr, o);
            if (isLocal(o)) local = true;
        }
        const size_t colon = tokens[4].find(':');
        if (malformed || colon == std::string_view::npos) {
            ++n.skippedLines;
            continue;
        }
        ++n.states[ESTABLISHED];
        const uint64_t tx = getIntFromHex(tokens[4].substr(0, colon));
        const uint64_t rx = getIntFromHex(tokens[4].substr(colon + 1));
        if (local) {
            ++n.localEntries;
            n.localTx += tx;
            n.localRx += rx;
        } else {
            ++n.remoteEntries;
            n.remoteTx += tx;
            n.remoteRx += rx;
        }
    }
    return n;
}

SensorNetstat::SensorNetstat()
    : AbstractSensor(SensorID::Netstat, netstatMetas, NUM_METRICS, sensorSize, 1, 1000000),
      writer(netstatMetas, NUM_METRICS),
      procNetstatFile(netstatFile),
      nodeID(0) {
    std::memset(netstatMetricData, 0, sizeof netstatMetricData);
    std::memset(nodeName, 0, sizeof nodeName);
    netstatMetricDataSet = {0, ROW_LEN, netstatMetricData};
}

SensorNetstat::~SensorNetstat() { procNetstatFile.close(); }

AbstractSensor* SensorNetstat::generate() { return new SensorNetstat(); }

int32_t SensorNetstat::init() {
    nodeID = getNodeID(nodeName, ROW_NODE_LEN);
    return procNetstatFile.open() ? 0 : -1;
}

const dataSet_t* SensorNetstat::getMetricData() {
    netstatMetricDataSet.numSets = 0;
    if (parseInputFile()) {
        netstatMetricDataSet.numSets = 1;
        netstatMetricDataSet.setLength = ROW_LEN;
        netstatMetricDataSet.data = netstatMetricData;
    }
    return &netstatMetricDataSet;
}

bool SensorNetstat::parseInputFile() {
    std::string_view text;
    if (!procNetstatFile.read(text)) {
        log->logError("Could not read from %s", netstatFile);
        return false;
    }
    const NetstatCounts n = parseNetTcp(text);
    if (n.skippedLines != 0) {
        log->logWarning("Skipped %u malformed lines of %s", n.skippedLines, netstatFile);
    }

    char* row = netstatMetricData;
    writer.putField(row, COL_NODE, nodeName);
    writer.putString(row, COL_SENSOR, getName().c_str());
    writer.putKeyFor(row, nodeID, SensorID::Netstat);
    writer.putNumber(row, COL_ESTABLISHED, n.states[ESTABLISHED]);
    writer.putNumber(row, COL_TIMEWAIT, n.states[TIME_WAIT]);
    writer.putNumber(row, COL_CLOSEWAIT, n.states[CLOSE_WAIT]);
    writer.putNumber(row, COL_LISTEN, n.states[LISTEN]);
    // Both ends of a local connection are in the table.
    writer.putNumber(row, COL_LOCALCONN, n.localEntries >> 1);
    writer.putNumber(row, COL_REMOTECONN, n.remoteEntries);
    writer.putNumber(row, COL_LOCAL_TX, n.localTx);
    writer.putNumber(row, COL_LOCAL_RX, n.localRx);
    writer.putNumber(row, COL_REMOTE_TX, n.remoteTx);
    writer.putNumber(row, COL_REMOTE_RX, n.remoteRx);
    return true;
}

int32_t SensorNetstat::shutdown() {
    procNetstatFile.close();
    return 0;
}

static RegisterSensorGenerator<SensorNetstat> registerSensorNetstat(SensorID::Netstat,
                                                                    SensorNetstat::generate);
