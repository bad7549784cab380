#include "SensorHDDTemp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "FNV1AHash.h"
#include "ToolSensorTestUtil.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;
using tooltest::readLines;
using tooltest::writeFile;

TEST(HDDTempParse, WholeDisksWithReadsInFileOrder) {
    std::vector<std::string> names;
    listTempDisks(hosttest::readFile(tooltest::fixture("diskstats.txt")), names);
    // Left out: partitions (sda1, hda1), a disk without reads (sdc), other
    // majors (nvme0n1, dm-0, sdq) and lines short of a read count.
    EXPECT_EQ(names, (std::vector<std::string>{"sda", "sdb", "hda", "hdb", "sdabcdefghij"}));

    listTempDisks("   8 0 bad/name 5 0 0\n8 16\n", names);
    EXPECT_TRUE(names.empty()) << "a name with a slash would leave /dev";
}

TEST(HDDTempParse, ExcludeBlockKeepsOnlyWholeIdeAndScsiDisks) {
    EXPECT_FALSE(SensorHDDTemp::excludeBlock(8, 0));
    EXPECT_FALSE(SensorHDDTemp::excludeBlock(8, 240));
    EXPECT_FALSE(SensorHDDTemp::excludeBlock(3, 0));
    EXPECT_FALSE(SensorHDDTemp::excludeBlock(3, 64));
    EXPECT_TRUE(SensorHDDTemp::excludeBlock(8, 1));
    EXPECT_TRUE(SensorHDDTemp::excludeBlock(3, 1));
    EXPECT_TRUE(SensorHDDTemp::excludeBlock(3, 16));
    EXPECT_TRUE(SensorHDDTemp::excludeBlock(259, 0));
    EXPECT_TRUE(SensorHDDTemp::excludeBlock(253, 0));
    EXPECT_TRUE(SensorHDDTemp::excludeBlock(65, 0));
}

TEST(HDDTempParse, Replies) {
    struct Case {
        const char* reply;
        uint32_t temp;
    } const cases[] = {
        {"41\n", 41},
        {"  38 C\n", 38},  // blanks first, unit after: the number counts
        {"+39\n", 39},
        {"4294967295\n", 4294967295u},
        {"0\n", 0},                 // the tool's "no reading"
        {"-5\n", 0},                // negative: would wrap to a huge unsigned temperature
        {"4294967296\n", 0},        // does not fit the field
        {"1234567890123456\n", 0},  // only 15 characters count: still too large
        {"WARNING: Drive /dev/sda doesn't seem to have a temperature sensor.\n", 0},
        {"", 0},
        {"\n41\n", 0},  // only the first line counts
        {"abc41\n", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(parseHddTempReply(c.reply), c.temp) << c.reply;
}

class HDDTempTest : public tooltest::ToolRoot {
  protected:
    void SetUp() override {
        ToolRoot::SetUp();
        put("/proc/diskstats", hosttest::readFile(tooltest::fixture("diskstats.txt")));
    }
    void installTool(const std::string& dir, mode_t mode = 04755) {
        installCopy("fake_hddtemp.sh", dir + "hddtemp", mode);
    }
    void reply(const std::string& disk, const std::string& text) {
        const std::string dir = at("/usr/sbin/hddtemp.replies");
        ASSERT_TRUE(tooltest::shell("mkdir -p '" + dir + "'"));
        writeFile(dir + "/" + disk, text);
    }
};

TEST_F(HDDTempTest, ToolSearchOrderAndSetuidCheck) {
    struct Case {
        const char* why;
        std::vector<std::pair<const char*, mode_t>> installed;
        const char* expected;  // directory of the tool found, or null
    } const cases[] = {
        {"first directory wins", {{"/usr/sbin/", 04755}, {"/usr/bin/", 04755}}, "/usr/sbin/"},
        {"only the last directory holds it", {{"/usr/local/bin/", 04755}}, "/usr/local/bin/"},
        {"a copy without set-user-ID is passed over",
         {{"/usr/sbin/", 0755}, {"/usr/local/bin/", 04755}},
         "/usr/local/bin/"},
        {"owner read and execute suffice; group and other bits do not matter",
         {{"/usr/bin/", 04500}},
         "/usr/bin/"},
        {"not executable by its owner", {{"/usr/sbin/", 04644}}, nullptr},
        {"not readable by its owner", {{"/usr/sbin/", 04355}}, nullptr},
        {"no tool anywhere", {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ASSERT_TRUE(tooltest::shell("rm -rf '" + root + "/usr'"));
        for (const auto& tool : c.installed) installTool(tool.first, tool.second);
        hosttest::Logged<SensorHDDTemp> sensor;
        if (c.expected == nullptr) {
            EXPECT_EQ(sensor.init(), -1);
            EXPECT_EQ(sensor.captured->lines,
                      std::vector<std::string>{"Error: Could not find executable for hddtemp."});
        } else {
            EXPECT_EQ(sensor.init(), 0);
            EXPECT_EQ(sensor.tool(), root + c.expected + "hddtemp");
            EXPECT_TRUE(sensor.captured->lines.empty());
        }
    }
}

TEST_F(HDDTempTest, UnreadableDiskstatsFailsInitBeforeTheToolSearch) {
    installTool("/usr/sbin/");
    ASSERT_EQ(unlink(at("/proc/diskstats").c_str()), 0);
    hosttest::Logged<SensorHDDTemp> sensor;
    EXPECT_EQ(sensor.init(), -1);
    EXPECT_EQ(sensor.captured->lines,
              std::vector<std::string>{"Error: Could not read from /proc/diskstats"});
    EXPECT_EQ(sensor.tool(), "");
}

TEST_F(HDDTempTest, RowsOnlyForDisksFoundAtInitThatReportATemperature) {
    installTool("/usr/sbin/");
    reply("sda", "41\n");
    reply("sdb", "0\n");
    reply("hda", "garbage\n");
    reply("hdb", "-3\n");
    reply("sdabcdefghij", "38\n");
    SensorHDDTemp sensor;
    ASSERT_EQ(sensor.init(), 0);

    // A disk that appears after init is never asked.
    put("/proc/diskstats", "   8 96 sdg 10 0 0 0 0 0 0 0 0 0 0\n");

    const dataSet_t* set = sensor.getMetricData();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->setLength, 124u);
    const std::vector<std::string> rows = decodeRows(sensor, set);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(field(rows[0], "node"), "testnode");
    EXPECT_EQ(field(rows[0], "sensor"), "HDDTemp");
    EXPECT_EQ(field(rows[0], "diskdev_name"), "sda");
    EXPECT_EQ(field(rows[0], "disk_temp"), "41");
    // A long device name is cut to 7 characters and the key hashes the cut,
    // NUL-padded field.
    EXPECT_EQ(field(rows[1], "diskdev_name"), "sdabcde");
    EXPECT_EQ(field(rows[1], "disk_temp"), "38");
    MetricKey key;
    std::memcpy(&key, set->data + 124 + 108, sizeof key);
    const char cut[8] = {'s', 'd', 'a', 'b', 'c', 'd', 'e', 0};
    EXPECT_EQ(key.metricClusterID, FNV1AHash32(cut, 8));
    EXPECT_EQ(key.sensorID, SensorID::HDDTemp);
    EXPECT_EQ(key.metricID, 0);

    EXPECT_EQ(readLines(at("/usr/sbin/hddtemp.log")),
              (std::vector<std::string>{"-n /dev/sda", "-n /dev/sdb", "-n /dev/hda", "-n /dev/hdb",
                                        "-n /dev/sdabcdefghij"}));
    EXPECT_EQ(sensor.getStatus(), 0);
}

TEST_F(HDDTempTest, NoDisksRunsNoTool) {
    installTool("/usr/sbin/");
    put("/proc/diskstats", "   8 1 sda1 10 0 0 0 0 0 0 0 0 0 0\n");
    SensorHDDTemp sensor;
    ASSERT_EQ(sensor.init(), 0);
    EXPECT_TRUE(sensor.disks().empty());
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    EXPECT_TRUE(readLines(at("/usr/sbin/hddtemp.log")).empty());
}

TEST_F(HDDTempTest, AHangingToolIsEndedAndTheOtherDisksStillReport) {
    installTool("/usr/sbin/");
    reply("sda.hang", "");
    reply("sdb", "35\n");
    hosttest::Logged<SensorHDDTemp> sensor;
    ASSERT_EQ(sensor.init(), 0);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::string> rows = decodeRows(sensor, sensor.getMetricData());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(15));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "diskdev_name"), "sdb");
    EXPECT_EQ(sensor.captured->count("Warning: " + sensor.tool() +
                                     " -n /dev/sda did not answer in time and was ended"),
              1u);
}

}  // namespace
