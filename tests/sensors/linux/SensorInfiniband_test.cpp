#include "SensorInfiniband.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "FNV1AHash.h"
#include "ToolSensorTestUtil.h"

namespace {

using tooltest::writeFile;

std::string activeList(const IbStatus& s) {
    std::string out;
    for (const auto& p : s.active) {
        out += (out.empty() ? "" : " ") + p.first.first + ":" + std::to_string(p.first.second) +
               "=" + p.second;
    }
    return out;
}

TEST(InfinibandParse, FixtureWithActiveAndDownPorts) {
    IbStatus s;
    parseIbstatus(hosttest::readFile(tooltest::fixture("ibstatus_mixed.txt")), s);
    EXPECT_TRUE(s.deviceFound);
    EXPECT_EQ(s.devices,
              (std::vector<std::string>{"mlx5_1_port_1", "mlx5_0_port_1", "mlx5_0_port_2"}));
    // Map order: device name, then port.
    EXPECT_EQ(activeList(s), "mlx5_0:1=mlx5_0_port_1 mlx5_1:1=mlx5_1_port_1");
}

TEST(InfinibandParse, LineShapes) {
    const std::string dev1 = "Infiniband device 'mlx5_0' port 1 status:\n";
    const std::string active = "\tstate:\t\t 4: ACTIVE\n";
    struct Case {
        const char* why;
        std::string text;
        bool deviceFound;
        const char* active;
    } const cases[] = {
        {"two active ports of one device",
         dev1 + active + "Infiniband device 'mlx5_0' port 2 status:\n" + active, true,
         "mlx5_0:1=mlx5_0_port_1 mlx5_0:2=mlx5_0_port_2"},
        {"blanks instead of tabs around the number", dev1 + "\tstate:   4:   ACTIVE\n", true,
         "mlx5_0:1=mlx5_0_port_1"},
        {"a carriage return ends the word", dev1 + "\tstate: 4: ACTIVE\r\n", true,
         "mlx5_0:1=mlx5_0_port_1"},
        {"a state line before any device line is ignored", active + dev1, true, ""},
        {"no device line at all", "ibstatus: no devices\n" + active, false, ""},
        {"state number not 4", dev1 + "\tstate: 1: ACTIVE\n", true, ""},
        {"state number 41", dev1 + "\tstate: 41: ACTIVE\n", true, ""},
        {"word is not exactly ACTIVE", dev1 + "\tstate: 4: ACTIVEX\n", true, ""},
        {"lower case", dev1 + "\tstate: 4: active\n", true, ""},
        {"the phys state line does not count", dev1 + "\tphys state:\t 4: ACTIVE\n", true, ""},
        {"state line without a tab", dev1 + "state: 4: ACTIVE\n", true, ""},
        {"state beyond the 255th character",
         dev1 + "\tstate:" + std::string(260, ' ') + "4: ACTIVE\n", true, ""},
        {"device line not at the line start", " " + dev1 + active, false, ""},
        {"empty device name", "Infiniband device '' port 1 status:\n" + active, false, ""},
        {"device name without closing quote", "Infiniband device 'mlx5_0 port 1 status:\n" + active,
         false, ""},
        {"device name beyond 255 characters",
         "Infiniband device '" + std::string(300, 'x') + "' port 1 status:\n" + active, false, ""},
        {"port with a sign", "Infiniband device 'd' port -1 status:\n" + active, false, ""},
        {"port beyond 32 bits", "Infiniband device 'd' port 4294967296 status:\n" + active, false,
         ""},
        {"a device name that would leave the sysfs directory",
         "Infiniband device '../../../etc' port 1 status:\n" + active, true, ""},
        {"a state line belongs to the device line before it",
         dev1 + "\tstate: 1: DOWN\nInfiniband device 'mlx5_1' port 3 status:\n" + active, true,
         "mlx5_1:3=mlx5_1_port_3"},
    };
    for (const Case& c : cases) {
        IbStatus s;
        parseIbstatus(c.text, s);
        EXPECT_EQ(s.deviceFound, c.deviceFound) << c.why;
        EXPECT_EQ(activeList(s), c.active) << c.why;
    }
}

TEST(InfinibandParse, CounterFiles) {
    uint64_t v = 99;
    EXPECT_TRUE(parseIbCounter("123\n", v));
    EXPECT_EQ(v, 123u);
    EXPECT_TRUE(parseIbCounter(" 18446744073709551615\n", v));
    EXPECT_EQ(v, UINT64_MAX);
    v = 99;
    EXPECT_FALSE(parseIbCounter("18446744073709551616\n", v));  // overflow
    EXPECT_FALSE(parseIbCounter("-1\n", v));
    EXPECT_FALSE(parseIbCounter("n/a\n", v));
    EXPECT_FALSE(parseIbCounter("", v));
    EXPECT_EQ(v, 99u) << "a failed read leaves the value alone";
}

class InfinibandTest : public tooltest::ToolRoot {
  protected:
    void SetUp() override {
        ToolRoot::SetUp();
        installLink("fake_ibstatus.sh", "/usr/sbin/ibstatus");
        ASSERT_TRUE(tooltest::shell("cp -r '" + tooltest::fixture("sys") + "' '" + root + "/'"));
        output("ibstatus_mixed.txt");
    }
    void output(const std::string& fixtureName) {
        writeFile(at("/usr/sbin/ibstatus.out"), hosttest::readFile(tooltest::fixture(fixtureName)));
    }
    // The sixteen counters of row r.
    static std::vector<uint64_t> counters(const dataSet_t* set, uint32_t r) {
        std::vector<uint64_t> out;
        for (int i = 0; i < 16; ++i) {
            uint64_t v;
            std::memcpy(&v, set->data + r * 272 + 144 + 8 * i, 8);
            out.push_back(be64toh(v));
        }
        return out;
    }
    static std::vector<uint64_t> counting(uint64_t from) {
        std::vector<uint64_t> out;
        for (uint64_t i = 0; i < 16; ++i) out.push_back(from + i);
        return out;
    }
    const std::string mlx51 = "/sys/class/infiniband/mlx5_1/ports/1/counters/";
};

TEST_F(InfinibandTest, RowsOfActivePortsInMapOrderPreferringExtendedCounters) {
    hosttest::Logged<SensorInfiniband> sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->numSets, 2u);
    EXPECT_EQ(set->setLength, 272u);
    const std::vector<std::string> rows = hosttest::decodeRows(sensor, set);
    EXPECT_EQ(hosttest::field(rows[0], "netdev_name"), "mlx5_0_port_1");
    EXPECT_EQ(hosttest::field(rows[1], "netdev_name"), "mlx5_1_port_1");
    EXPECT_EQ(hosttest::field(rows[0], "sensor"), "Infiniband");
    EXPECT_EQ(hosttest::field(rows[0], "node"), "testnode");

    // mlx5_0 port 1 has counters_ext: port_rcv_data and port_xmit_data come
    // from their 64-bit files; port_rcv_packets has none there and
    // port_xmit_packets an unreadable one, so both come from counters/.
    std::vector<uint64_t> expected = counting(1);
    expected[5] = 50000000000ull;
    expected[11] = 60000000000ull;
    EXPECT_EQ(counters(set, 0), expected);
    // Without counters_ext every value comes from counters/.
    EXPECT_EQ(counters(set, 1), counting(201));

    char name[32] = "mlx5_1_port_1";
    MetricKey key;
    std::memcpy(&key, set->data + 272 + 132, sizeof key);
    EXPECT_EQ(key.metricClusterID, FNV1AHash32(name, 32));
    EXPECT_EQ(key.sensorID, SensorID::Infiniband);
    EXPECT_EQ(sensor.getStatus(), 0);

    EXPECT_EQ(
        sensor.captured->count("Debug: populateIBDevMap: Infiniband device found: mlx5_0_port_2"),
        2u)
        << "once at init, once at the sample";
    EXPECT_EQ(sensor.captured->count("Debug: populateIBDevMap: active device found: mlx5_1_port_1"),
              2u);
}

TEST_F(InfinibandTest, UnreadableCounterIsSentAsZero) {
    ASSERT_EQ(unlink(at(mlx51 + "symbol_error").c_str()), 0);
    writeFile(at(mlx51 + "link_downed"), "garbage\n");
    SensorInfiniband sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 2u);
    std::vector<uint64_t> expected = counting(201);
    expected[1] = 0;   // link_downed
    expected[14] = 0;  // symbol_error: not the value of the row before
    EXPECT_EQ(counters(set, 1), expected);
}

TEST_F(InfinibandTest, PortsFollowTheToolAtEverySample) {
    SensorInfiniband sensor;
    ASSERT_EQ(sensor.init(), 0);
    EXPECT_EQ(sensor.getMetricData()->numSets, 2u);

    output("ibstatus_down.txt");
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    EXPECT_EQ(sensor.getStatus(), -1) << "no active port";

    output("ibstatus_nodevice.txt");
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);

    output("ibstatus_mixed.txt");
    EXPECT_EQ(sensor.getMetricData()->numSets, 2u);
    EXPECT_EQ(sensor.getStatus(), 0);

    // A tool that cannot be started leaves the ports as they were.
    writeFile(at("/usr/sbin/ibstatus.new"), "#!/nonexistent/interpreter\n");
    ASSERT_EQ(chmod(at("/usr/sbin/ibstatus.new").c_str(), 0755), 0);
    ASSERT_EQ(rename(at("/usr/sbin/ibstatus.new").c_str(), at("/usr/sbin/ibstatus").c_str()), 0);
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    EXPECT_EQ(sensor.ports().size(), 2u);
    EXPECT_EQ(sensor.getStatus(), 0);
}

TEST_F(InfinibandTest, InitResults) {
    struct Case {
        const char* why;
        const char* fixture;
        int init;
        int status;
    } const cases[] = {
        {"active ports", "ibstatus_mixed.txt", 0, 0},
        {"devices but no active port", "ibstatus_down.txt", 0, -1},
        {"no device", "ibstatus_nodevice.txt", -1, -1},
    };
    for (const Case& c : cases) {
        output(c.fixture);
        SensorInfiniband sensor;
        EXPECT_EQ(sensor.init(), c.init) << c.why;
        EXPECT_EQ(sensor.getStatus(), c.status) << c.why;
    }
}

TEST_F(InfinibandTest, ToolMissingOrNotExecutable) {
    for (mode_t mode : {mode_t(0), mode_t(0644)}) {
        ASSERT_EQ(unlink(at("/usr/sbin/ibstatus").c_str()), 0);
        if (mode != 0) installCopy("fake_ibstatus.sh", "/usr/sbin/ibstatus", mode);
        hosttest::Logged<SensorInfiniband> sensor;
        EXPECT_EQ(sensor.init(), -1);
        EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
        EXPECT_EQ(
            sensor.captured->count("Error: populateIBDevMap: unable to execute /usr/sbin/ibstatus"),
            2u);
        if (mode == 0) installLink("fake_ibstatus.sh", "/usr/sbin/ibstatus");
    }
}

TEST_F(InfinibandTest, AHangingToolIsEnded) {
    SensorInfiniband sensor;
    ASSERT_EQ(sensor.init(), 0);
    writeFile(at("/usr/sbin/ibstatus.hang"), "");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(sensor.ports().size(), 2u);
}

}  // namespace
