#include "SensorDiskFree.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "FNV1AHash.h"
#include "PlatformPaths.h"
#include "ToolSensorTestUtil.h"

namespace {

using tooltest::readLines;
using tooltest::writeFile;

// "mount|total|used|free" per row, read straight from the row bytes so that
// blanks inside a mount point survive.
std::vector<std::string> summary(const dataSet_t* set) {
    std::vector<std::string> out;
    for (uint32_t r = 0; r < set->numSets; ++r) {
        const char* row = set->data + static_cast<size_t>(r) * set->setLength;
        std::string line(row + 100, strnlen(row + 100, 256));
        for (int i = 0; i < 3; ++i) {
            uint64_t v;
            std::memcpy(&v, row + 368 + 8 * i, 8);
            line += "|" + std::to_string(be64toh(v));
        }
        out.push_back(line);
    }
    return out;
}

TEST(DiskFreeParse, Lines) {
    struct Case {
        const char* why;
        const char* line;
        const char* expected;  // "mount|total|used|free", or null for a skipped line
    } const cases[] = {
        {"plain", "/dev/sda1 1000 400 600 40% /", "/|1000|400|600"},
        {"blanks inside the mount point are kept", "/dev/sda2 20 5 15 25% /mnt/my  disk",
         "/mnt/my  disk|20|5|15"},
        {"tabs between columns", "/dev/sda3\t30\t10\t20\t33%\t/data", "/data|30|10|20"},
        {"no blocks: df prints a dash", "tmpfs 0 0 0 - /run/empty", "/run/empty|0|0|0"},
        {"a filesystem name with blanks", "My Stick 50 1 49 2% /media/stick",
         "/media/stick|50|1|49"},
        {"largest size", "fs 18446744073709551615 0 0 0% /big", "/big|18446744073709551615|0|0"},
        // Bad lines.
        {"a size that is not a number", "/dev/sda3 3000 x 100 3% /bad", nullptr},
        {"a size with a sign", "/dev/sda3 3000 -1 100 3% /bad", nullptr},
        {"size overflows 64 bits", "fs 18446744073709551616 0 0 0% /big", nullptr},
        {"no mount point", "/dev/sda4 4000 1000 3000 25%", nullptr},
        {"no mount point, trailing blanks", "/dev/sda4 4000 1000 3000 25%   ", nullptr},
        {"percentage without %", "/dev/sda4 4000 1000 3000 25 /x", nullptr},
        {"too few columns", "/dev/sda4 4000 1000", nullptr},
        {"blank line", "   ", nullptr},
    };
    for (const Case& c : cases) {
        DfEntry e;
        const bool ok = parseDfLine(c.line, e);
        if (c.expected == nullptr) {
            EXPECT_FALSE(ok) << c.why;
        } else {
            ASSERT_TRUE(ok) << c.why;
            EXPECT_EQ(std::string(e.mountPoint) + "|" + std::to_string(e.total) + "|" +
                          std::to_string(e.used) + "|" + std::to_string(e.available),
                      c.expected)
                << c.why;
        }
    }
}

class DiskFreeTest : public tooltest::ToolRoot {
  protected:
    void SetUp() override {
        ToolRoot::SetUp();
        installLink("fake_df.sh", "/bin/df");
    }
    void output(const std::string& text) { writeFile(at("/bin/df.out"), text); }
    void outputFixture(const std::string& name) {
        output(hosttest::readFile(tooltest::fixture(name)));
    }
};

TEST_F(DiskFreeTest, TwoFilesystemsInOutputOrderWithTheirKeys) {
    outputFixture("df_two.txt");
    SensorDiskFree sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->setLength, 392u);
    EXPECT_EQ(summary(set), (std::vector<std::string>{"/|51474912|20123456|28710120",
                                                      "/boot|106858|6182|100677"}));
    const std::vector<std::string> rows = hosttest::decodeRows(sensor, set);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(hosttest::field(rows[1], "node"), "testnode");
    EXPECT_EQ(hosttest::field(rows[1], "sensor"), "DiskFree");
    for (uint32_t r = 0; r < 2; ++r) {
        char mount[256] = {};
        std::strcpy(mount, r == 0 ? "/" : "/boot");
        MetricKey key;
        std::memcpy(&key, set->data + r * 392 + 356, sizeof key);
        EXPECT_EQ(key.metricClusterID, FNV1AHash32(mount, 256));
        EXPECT_EQ(key.sensorID, SensorID::DiskFree);
    }
    EXPECT_EQ(readLines(at("/bin/df.log")), std::vector<std::string>{"-k -l -P"});
}

TEST_F(DiskFreeTest, CraftedOutputKeepsGoodLinesWhole) {
    outputFixture("df_crafted.txt");
    hosttest::Logged<SensorDiskFree> sensor;
    ASSERT_EQ(sensor.init(), 0);
    // The malformed lines are skipped: none yields a row, and none repeats
    // the sizes of the row before it.
    EXPECT_EQ(summary(sensor.getMetricData()),
              (std::vector<std::string>{"/|1000|400|600", "/mnt/my disk|2000|500|1500",
                                        "/run/empty|0|0|0", "/media/stick|5000|100|4900",
                                        "/boot|8000|2000|6000", "/mnt/boot|9000|3000|6000"}));
    EXPECT_EQ(sensor.captured->lines,
              std::vector<std::string>{"Debug: Skipped 3 malformed lines of " + at("/bin/df") +
                                       " output"});
}

TEST_F(DiskFreeTest, ExcludeFilterOnTheMountPoint) {
    outputFixture("df_crafted.txt");
    struct Case {
        const char* filter;
        std::vector<std::string> mounts;
        std::vector<std::string> log;
    } const cases[] = {
        {"mountPoint=/boot.*",
         {"/", "/mnt/my disk", "/run/empty", "/media/stick", "/mnt/boot"},
         {"Debug: Set filter to mountPoint=/boot.*",
          "Debug: Data for key /boot wasn't used because of filter /boot.*"}},
        {"mountPoint=/mnt/.*|/",
         {"/run/empty", "/media/stick", "/boot"},
         {"Debug: Set filter to mountPoint=/mnt/.*|/",
          "Debug: Data for key / wasn't used because of filter /mnt/.*|/",
          "Debug: Data for key /mnt/my disk wasn't used because of filter /mnt/.*|/",
          "Debug: Data for key /mnt/boot wasn't used because of filter /mnt/.*|/"}},
        // Another sensor's key: no filter.
        {"netdev_name=.*",
         {"/", "/mnt/my disk", "/run/empty", "/media/stick", "/boot", "/mnt/boot"},
         {"Debug: Set filter to netdev_name=.*"}},
        // No expression: no filter.
        {"mountPoint=",
         {"/", "/mnt/my disk", "/run/empty", "/media/stick", "/boot", "/mnt/boot"},
         {"Debug: Set filter to mountPoint="}},
    };
    for (const auto& c : cases) {
        hosttest::Logged<SensorDiskFree> sensor;
        sensor.setFilter(c.filter);
        ASSERT_EQ(sensor.init(), 0);
        std::vector<std::string> mounts;
        for (const std::string& s : summary(sensor.getMetricData())) {
            mounts.push_back(s.substr(0, s.find('|')));
        }
        EXPECT_EQ(mounts, c.mounts) << c.filter;
        std::vector<std::string> log;
        for (const std::string& l : sensor.captured->lines) {
            if (l.find("malformed") == std::string::npos) log.push_back(l);
        }
        EXPECT_EQ(log, c.log) << c.filter;
    }
}

TEST_F(DiskFreeTest, LongMountPointIsCutThenHashedAndFiltered) {
    const std::string longMount = "/" + std::string(299, 'a');
    output(
        "Filesystem 1024-blocks Used Available Capacity Mounted on\n"
        "/dev/sdz 10 2 8 20% " +
        longMount + "\n");
    SensorDiskFree sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 1u);
    char cut[256] = {};
    std::memcpy(cut, longMount.data(), 255);
    EXPECT_EQ(std::memcmp(set->data + 100, cut, 256), 0);
    MetricKey key;
    std::memcpy(&key, set->data + 356, sizeof key);
    EXPECT_EQ(key.metricClusterID, FNV1AHash32(cut, 256));

    // The filter sees the cut text: the full text would not match.
    sensor.setFilter("mountPoint=/a{254}");
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
}

TEST_F(DiskFreeTest, NoToolOrNoOutputGivesAnEmptySampleWithoutLogging) {
    struct Case {
        const char* why;
        bool installed;
        const char* text;
    } const cases[] = {
        {"df cannot be started", false, nullptr},
        {"df prints nothing", true, ""},
        {"df prints only its header", true,
         "Filesystem 1024-blocks Used Available Capacity Mounted on\n"},
    };
    for (const Case& c : cases) {
        unlink(at("/bin/df").c_str());
        if (c.installed) installLink("fake_df.sh", "/bin/df");
        if (c.text != nullptr) output(c.text);
        hosttest::Logged<SensorDiskFree> sensor;
        ASSERT_EQ(sensor.init(), 0);
        const dataSet_t* set = sensor.getMetricData();
        ASSERT_NE(set, nullptr) << c.why;
        EXPECT_EQ(set->numSets, 0u) << c.why;
        EXPECT_TRUE(sensor.captured->lines.empty()) << c.why;
        EXPECT_EQ(sensor.getStatus(), 0);
    }
}

TEST_F(DiskFreeTest, AHangingDfIsEndedWithinTheTimeOut) {
    outputFixture("df_two.txt");
    writeFile(at("/bin/df.hang"), "");
    hosttest::Logged<SensorDiskFree> sensor;
    sensor.setPollPeriod(1000000);  // the wait is then the 5 s floor
    ASSERT_EQ(sensor.init(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(sensor.captured->count("Warning: " + at("/bin/df") +
                                     " did not finish in time and was ended"),
              1u);

    // The next sample runs again.
    ASSERT_EQ(unlink(at("/bin/df.hang").c_str()), 0);
    EXPECT_EQ(sensor.getMetricData()->numSets, 2u);
}

// The real df of this machine, without a platform root.
TEST(DiskFreeRealDf, OneRowPerFilesystemLine) {
    Platform::setRoot("");
    std::vector<std::string> expected;
    FILE* p = popen("/bin/df -k -l -P", "r");
    ASSERT_NE(p, nullptr);
    char line[4096];
    bool header = true;
    while (std::fgets(line, sizeof line, p) != nullptr) {
        if (header) {
            header = false;
            continue;
        }
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        DfEntry e;
        ASSERT_TRUE(parseDfLine(l, e)) << l;
        expected.emplace_back(e.mountPoint);
    }
    pclose(p);
    ASSERT_FALSE(expected.empty());

    SensorDiskFree sensor;
    ASSERT_EQ(sensor.init(), 0);
    std::vector<std::string> mounts;
    for (const std::string& s : summary(sensor.getMetricData())) {
        mounts.push_back(s.substr(0, s.find('|')));
    }
    EXPECT_EQ(mounts, expected);
}

}  // namespace
