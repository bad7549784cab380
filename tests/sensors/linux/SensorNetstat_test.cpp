#include "SensorNetstat.h"

#include <gtest/gtest.h>

#include "HostSensorTestUtil.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;
using hosttest::Logged;

const char HEADER[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";

// One table line with the fields the sensor reads.
std::string entry(const char* local, const char* remote, const char* state, const char* queues) {
    return std::string("   0: ") + local + " " + remote + " " + state + " " + queues +
           " 00:00000000 00000000     0        0 1234 1 0000000011111111 20 4 30 10 -1\n";
}

class NetstatTest : public hosttest::ProcRoot {};

TEST_F(NetstatTest, GoldenFileGivesTheExpectedRow) {
    putFixture("/proc/net/tcp", "netstat/tcp");
    Logged<SensorNetstat> ns;
    ASSERT_EQ(ns.init(), 0);
    const dataSet_t* set = ns.getMetricData();
    EXPECT_EQ(set->setLength, 168u);
    EXPECT_EQ(decodeRows(ns, set), hosttest::goldenRows("netstat/expected.txt"));
    EXPECT_EQ(ns.captured->lines,
              std::vector<std::string>{"Warning: Skipped 3 malformed lines of /proc/net/tcp"});
    EXPECT_EQ(ns.getStatus(), 0) << "clean again after the sample";

    // A table with only its header, written over the same file.
    put("/proc/net/tcp", HEADER);
    const auto rows = decodeRows(ns, ns.getMetricData());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0],
              "node=testnode sensor=Netstat metric_key={108f478d,00000000,12,0} ns_established=0 "
              "ns_timewait=0 ns_closewait=0 ns_listen=0 ns_localconn=0 ns_remoteconn=0 "
              "ns_local_bytes_s=0 ns_local_bytes_r=0 ns_remote_bytes_s=0 ns_remote_bytes_r=0");
}

TEST(NetTcpParser, LocalRemoteSplitAndQueueSums) {
    const char* const LO = "0100007F:C0BE";
    const char* const LO2 = "0100007F:E4D7";
    const char* const ANY = "00000000:0000";
    const char* const ETH = "0F02000A:0016";
    const char* const PEER = "0102000A:D1E2";
    struct Case {
        const char* why;
        std::string table;
        // established local remote localTx localRx remoteTx remoteRx listen
        std::vector<uint64_t> expect;
    };
    const Case cases[] = {
        {"both ends of one loopback connection count once as local",
         entry(LO, LO2, "01", "00000001:00000002") + entry(LO2, LO, "01", "00000003:00000004"),
         {2, 2, 0, 4, 6, 0, 0, 0}},
        {"a single loopback entry halves to 0 connections",
         entry(LO, LO2, "01", "0:0"),
         {1, 1, 0, 0, 0, 0, 0, 0}},
        {"a wildcard remote address is local",
         entry(ETH, ANY, "01", "00000005:00000000"),
         {1, 1, 0, 5, 0, 0, 0, 0}},
        {"127.0.0.2 is remote",
         entry("0200007F:0050", PEER, "01", "0:0"),
         {1, 0, 1, 0, 0, 0, 0, 0}},
        {"queues of a remote entry",
         entry(ETH, PEER, "01", "0000001F:00000002"),
         {1, 0, 1, 0, 0, 31, 2, 0}},
        {"a listening socket adds to listen only",
         entry(ANY, ANY, "0A", "00000009:00000009"),
         {0, 0, 0, 0, 0, 0, 0, 1}},
        {"an address without ':' is not local; the other end still decides",
         entry("0100007F0016", LO, "01", "1:1"),
         {1, 1, 0, 1, 1, 0, 0, 0}},
        {"addresses without ':' on both ends make the entry remote",
         entry("0100007F0016", "0100007F", "01", "1:1"),
         {1, 0, 1, 0, 0, 1, 1, 0}},
        {"lowercase hex and huge queues",
         entry(ETH, PEER, "01", "ffffffff:fffffffff"),
         {1, 0, 1, 0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        const NetstatCounts n = parseNetTcp(HEADER + c.table);
        const std::vector<uint64_t> got = {n.states[1], n.localEntries, n.remoteEntries,
                                           n.localTx,   n.localRx,      n.remoteTx,
                                           n.remoteRx,  n.states[10]};
        EXPECT_EQ(got, c.expect);
        EXPECT_EQ(n.skippedLines, 0u);
    }
}

TEST(NetTcpParser, OtherStatesAreCountedButNotSplit) {
    std::string table = HEADER;
    for (const char* st : {"02", "03", "04", "05", "06", "07", "08", "09", "0B", "0C", "FF"}) {
        table += entry("0F02000A:0016", "0102000A:D1E2", st, "00000001:00000001");
    }
    const NetstatCounts n = parseNetTcp(table);
    for (int s : {2, 3, 4, 5, 6, 7, 8, 9, 11}) EXPECT_EQ(n.states[s], 1u) << s;
    EXPECT_EQ(n.states[1] + n.states[10] + n.states[0], 0u);
    EXPECT_EQ(n.localEntries + n.remoteEntries, 0u);
    EXPECT_EQ(n.remoteTx + n.localTx, 0u);
}

TEST(NetTcpParser, EveryCutOfALineIsReadSafely) {
    // A line cut anywhere (a short read, a hostile file) is either read or
    // skipped, never read out of range.
    const std::string line = entry("0100007F:C0BE", "0102000A:D1E2", "01", "0000001F:00000002");
    for (size_t len = 0; len <= line.size(); ++len) {
        const NetstatCounts n = parseNetTcp(HEADER + line.substr(0, len));
        EXPECT_EQ(n.states[1] + n.skippedLines,
                  len == 0 || line.find_first_not_of(' ') >= len ? 0u : 1u)
            << len;
    }
    // Cuts inside the address or queue fields.
    const char* const bad[] = {"0100007F:C0BE 0102000A:D1E2 01 0000001F",
                               "01:C0BE 0102000A:D1E2 01 1:2", "0100007F:C0BE 0102:D1E2 01 1:2",
                               "0100007F:C0BE 0102000A:D1E2 01 12"};
    for (const char* b : bad) {
        const NetstatCounts n = parseNetTcp(std::string(HEADER) + "   0: " + b + "\n");
        EXPECT_EQ(n.skippedLines, 1u) << b;
        EXPECT_EQ(n.states[1], 0u) << b;
    }
}

TEST(NetTcpParser, HexAndAddressHelpers) {
    const std::pair<const char*, uint32_t> hex[] = {
        {"0A", 10},
        {"  1f", 31},
        {"zz", 0},
        {"1G", 1},
        {"", 0},
        {"FFFFFFFF", 0xFFFFFFFFu},
        {"FFFFFFFFF", 0xFFFFFFFFu},
        {"0000000000000001", 1},
    };
    for (const auto& h : hex) EXPECT_EQ(getIntFromHex(h.first), h.second) << h.first;

    const std::tuple<const char*, const char*, const char*> addrs[] = {
        {"0100007F:0016", "127.0.0.1", "22"}, {"0F02000A:C350", "10.0.2.15", "50000"},
        {"00000000:0000", "0.0.0.0", "0"},    {"0100007F", "NULL", "NULL"},  // no port
        {"0100007F:00:16", "NULL", "NULL"},                                  // three pieces
        {"7F:0016", "NULL", "NULL"},  // address too short to hold four octets
    };
    for (const auto& a : addrs) {
        std::string ip, port;
        parseAddrPort(std::get<0>(a), ip, port);
        EXPECT_EQ(ip, std::get<1>(a)) << std::get<0>(a);
        EXPECT_EQ(port, std::get<2>(a)) << std::get<0>(a);
    }
}

TEST_F(NetstatTest, MissingFileIsReportedAndKeepsTheStatusBad) {
    Logged<SensorNetstat> ns;
    EXPECT_EQ(ns.init(), -1);
    EXPECT_EQ(ns.getStatus(), -1);
    EXPECT_EQ(ns.getMetricData()->numSets, 0u);
    EXPECT_EQ(ns.captured->count("Error: Could not read from /proc/net/tcp"), 1u);
    EXPECT_EQ(ns.getStatus(), -1);
}

}  // namespace
