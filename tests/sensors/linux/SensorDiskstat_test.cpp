#include "SensorDiskstat.h"

#include <gtest/gtest.h>

#include "HostSensorTestUtil.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;
using hosttest::Logged;

class DiskstatTest : public hosttest::ProcRoot {};

TEST_F(DiskstatTest, GoldenFileGivesOneRowPerDiskWithIO) {
    putFixture("/proc/diskstats", "diskstat/diskstats");
    Logged<SensorDiskstat> disk;
    ASSERT_EQ(disk.init(), 0);
    const dataSet_t* set = disk.getMetricData();
    EXPECT_EQ(set->setLength, 208u);
    EXPECT_EQ(decodeRows(disk, set), hosttest::goldenRows("diskstat/expected.txt"));
    EXPECT_EQ(disk.captured->lines,
              std::vector<std::string>{"Warning: Skipped 1 malformed lines of /proc/diskstats"});

    // The same file, rewritten in place with one device, is read afresh.
    put("/proc/diskstats", "   8       0 sda 1 0 0 0 0 0 0 0 0 0 0\n");
    const auto rows = decodeRows(disk, disk.getMetricData());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "disk_read_ios"), "1");
    EXPECT_EQ(disk.getStatus(), 0);
}

TEST_F(DiskstatTest, WhichLinesGiveRecords) {
    struct Case {
        const char* why;
        const char* line;
        bool reported;
    };
    const Case cases[] = {
        {"a disk with reads", "8 0 sda 1 0 0 0 0 0 0 0 0 0 0", true},
        {"merged writes alone count as I/O", "8 0 sda 0 0 0 0 0 1 0 0 0 0 0", true},
        {"RAM disk", "1 0 ram0 1 1 1 1 1 1 1 1 1 1 1", false},
        {"loop device", "7 3 loop3 1 1 1 1 1 1 1 1 1 1 1", false},
        {"SCSI CD-ROM", "11 0 sr0 1 1 1 1 1 1 1 1 1 1 1", false},
        {"device-mapper volume", "253 1 dm-1 1 1 1 1 1 1 1 1 1 1 1", false},
        {"time and in-flight counters alone are not I/O", "8 16 sdb 0 0 0 9 0 0 0 9 9 9 9", false},
        // Lines that cannot come from the kernel are skipped.
        {"ten counters only", "8 0 sda 1 1 1 1 1 1 1 1 1 1", false},
        {"no name", "8 0", false},
        {"major not a number", "x 0 sda 1 1 1 1 1 1 1 1 1 1 1", false},
        {"major beyond 32 bits", "4294967296 0 sda 1 1 1 1 1 1 1 1 1 1 1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        put("/proc/diskstats", std::string(c.line) + "\n");
        SensorDiskstat disk;
        ASSERT_EQ(disk.init(), 0);
        EXPECT_EQ(disk.getMetricData()->numSets, c.reported ? 1u : 0u);
    }
}

TEST_F(DiskstatTest, MissingFileIsReportedOnEverySample) {
    Logged<SensorDiskstat> disk;
    EXPECT_EQ(disk.init(), -1);
    EXPECT_EQ(disk.getMetricData()->numSets, 0u);
    EXPECT_EQ(disk.getMetricData()->numSets, 0u);
    EXPECT_EQ(disk.captured->count("Error: Could not read from /proc/diskstats"), 2u);
    EXPECT_EQ(disk.getStatus(), -1);
}

}  // namespace
