#include "SensorNetwork.h"

#include <gtest/gtest.h>

#include "FNV1AHash.h"
#include "HostSensorTestUtil.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;
using hosttest::Logged;

const char HEADER[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

class NetworkTest : public hosttest::ProcRoot {
  protected:
    static std::vector<std::string> names(const std::vector<std::string>& rows) {
        std::vector<std::string> n;
        for (const auto& r : rows) n.push_back(field(r, "netdev_name"));
        return n;
    }
};

TEST_F(NetworkTest, GoldenFileGivesOneRowPerInterface) {
    putFixture("/proc/net/dev", "network/dev");
    Logged<SensorNetwork> net;
    ASSERT_EQ(net.init(), 0);
    const dataSet_t* set = net.getMetricData();
    EXPECT_EQ(set->setLength, 272u);
    EXPECT_EQ(decodeRows(net, set), hosttest::goldenRows("network/expected.txt"));
    EXPECT_EQ(net.captured->lines,
              std::vector<std::string>{"Warning: Skipped 1 malformed lines of /proc/net/dev"});
    EXPECT_EQ(net.getStatus(), 0);

    // Rewritten in place: the next sample reads the new table, counters as
    // they stand (a reset counter is sent as its new value).
    put("/proc/net/dev", std::string(HEADER) + "  eth0: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0\n");
    const auto rows = decodeRows(net, net.getMetricData());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "netdev_bytes_r"), "5");
    EXPECT_EQ(field(rows[0], "netdev_bytes_s"), "6");
}

TEST_F(NetworkTest, KeyIsTheHashOfTheCutNameField) {
    const std::string longName(40, 'x');
    put("/proc/net/dev", std::string(HEADER) + longName + ": 1\n");
    SensorNetwork net;
    ASSERT_EQ(net.init(), 0);
    const dataSet_t* set = net.getMetricData();
    ASSERT_EQ(set->numSets, 1u);
    char nameField[32] = {};
    std::memcpy(nameField, longName.data(), 31);
    EXPECT_EQ(std::memcmp(set->data + 100, nameField, 32), 0);
    MetricKey key;
    std::memcpy(&key, set->data + 132, sizeof key);
    EXPECT_EQ(key.metricClusterID, FNV1AHash32(nameField, 32));
    EXPECT_EQ(key.sensorID, SensorID::Network);
    char node[64] = "testnode";
    EXPECT_EQ(key.nodeID, FNV1AHash32(node, 64));
}

TEST_F(NetworkTest, HeaderCheck) {
    Logged<SensorNetwork> net;
    put("/proc/net/dev", HEADER);
    ASSERT_EQ(net.init(), 0);
    EXPECT_EQ(net.getMetricData()->numSets, 0u) << "no interfaces";
    EXPECT_TRUE(net.captured->lines.empty());

    // One column name differs: no records, one message per sample.
    std::string header(HEADER);
    header.replace(header.find("colls"), 5, "colln");
    put("/proc/net/dev", header + "  eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n");
    EXPECT_EQ(net.getMetricData()->numSets, 0u);
    EXPECT_EQ(net.getMetricData()->numSets, 0u);
    EXPECT_EQ(net.captured->count("Error: Unexpected content in /proc/net/dev"), 2u);

    // A second header line that goes on beyond the known columns passes;
    // blanks anywhere in it do not matter, other white space does.
    header = HEADER;
    header.insert(header.size() - 1, "|extra");
    put("/proc/net/dev", header + "  eth0: 1\n");
    EXPECT_EQ(net.getMetricData()->numSets, 1u);
    header = HEADER;
    header.replace(header.find("packets"), 1, "\tp");
    put("/proc/net/dev", header + "  eth0: 1\n");
    EXPECT_EQ(net.getMetricData()->numSets, 0u);
    put("/proc/net/dev", "only one line\n");
    EXPECT_EQ(net.getMetricData()->numSets, 0u);
    EXPECT_EQ(net.captured->count("Error: Unexpected content in /proc/net/dev"), 4u);
}

TEST_F(NetworkTest, ExcludeFilter) {
    struct Case {
        const char* filter;
        std::vector<std::string> reported;
        std::vector<std::string> log;
    };
    const std::string table = std::string(HEADER) + "    lo: 1\n  eth0: 2\n   br0: 3\n  eth10: 4\n";
    const Case cases[] = {
        {"netdev_name=lo|br.*",
         {"eth0", "eth10"},
         {"Debug: Data for key lo wasn't used because of filter lo|br.*",
          "Debug: Data for key br0 wasn't used because of filter lo|br.*"}},
        // The whole name must match.
        {"netdev_name=eth", {"lo", "eth0", "br0", "eth10"}, {}},
        {"netdev_name=eth[0-9]",
         {"lo", "br0", "eth10"},
         {"Debug: Data for key eth0 wasn't used because of filter eth[0-9]"}},
        // Key alone, another sensor's key, nothing: every interface is in.
        {"netdev_name", {"lo", "eth0", "br0", "eth10"}, {}},
        {"mountPoint=/tmp", {"lo", "eth0", "br0", "eth10"}, {}},
        {"", {"lo", "eth0", "br0", "eth10"}, {}},
        // Empty pieces are dropped, and the pattern ends at the next '='.
        {"=netdev_name==lo=eth0",
         {"eth0", "br0", "eth10"},
         {"Debug: Data for key lo wasn't used because of filter lo"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        put("/proc/net/dev", table);
        Logged<SensorNetwork> net;
        net.setFilter(c.filter);
        net.captured->lines.clear();
        ASSERT_EQ(net.init(), 0);
        EXPECT_EQ(names(decodeRows(net, net.getMetricData())), c.reported);
        EXPECT_EQ(net.captured->lines, c.log);
    }
}

TEST_F(NetworkTest, InvalidFilterIsReportedOnceAndLeavesEveryInterfaceIn) {
    put("/proc/net/dev", std::string(HEADER) + "    lo: 1\n  eth0: 2\n");
    Logged<SensorNetwork> net;
    net.setFilter("netdev_name=([");
    net.captured->lines.clear();
    ASSERT_EQ(net.init(), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(names(decodeRows(net, net.getMetricData())),
                  (std::vector<std::string>{"lo", "eth0"}));
    }
    ASSERT_EQ(net.captured->lines.size(), 1u);
    EXPECT_EQ(
        net.captured->lines[0].rfind("Error: Filter ([ is not a valid regular expression (", 0), 0u)
        << net.captured->lines[0];
}

TEST_F(NetworkTest, MissingFileIsReportedOnEverySample) {
    Logged<SensorNetwork> net;
    EXPECT_EQ(net.init(), -1);
    EXPECT_EQ(net.getMetricData()->numSets, 0u);
    EXPECT_EQ(net.getMetricData()->numSets, 0u);
    EXPECT_EQ(net.captured->count("Error: Could not read from /proc/net/dev"), 2u);
    EXPECT_EQ(net.getStatus(), -1);
    EXPECT_EQ(net.shutdown(), 0);
}

TEST(NetDevParser, HostileLines) {
    const std::string header = std::string(HEADER);
    const std::string text =
        header + "\n   \n" + std::string(300, 'n') + ": 1\nx:" + std::string(5000, '9') + "\n:7\n";
    NetDevTable t;
    parseNetDev(text, t);
    ASSERT_TRUE(t.headerOK);
    // Blank lines pass silently; an overlong name is not an interface; a
    // counter too large to read ends the line's counters; an empty name is
    // still a name.
    EXPECT_EQ(t.skippedLines, 1u);
    ASSERT_EQ(t.entries.size(), 2u);
    EXPECT_EQ(t.entries[0].name, "x");
    EXPECT_EQ(t.entries[0].counters[0], 0u);
    EXPECT_EQ(t.entries[1].name, "");
    EXPECT_EQ(t.entries[1].counters[0], 7u);
}

}  // namespace
