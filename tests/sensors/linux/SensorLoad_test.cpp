#include "SensorLoad.h"

#include <gtest/gtest.h>

#include "HostSensorTestUtil.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;

class LoadTest : public hosttest::ProcRoot {};

TEST_F(LoadTest, FirstSampleOfTheGoldenFileGivesTheExpectedRow) {
    putFixture("/proc/loadavg", "load/loadavg");
    SensorLoad load;
    ASSERT_EQ(load.init(), 0);
    const dataSet_t* set = load.getMetricData();
    EXPECT_EQ(set->setLength, 128u);
    EXPECT_EQ(decodeRows(load, set), hosttest::goldenRows("load/expected.txt"));
}

TEST_F(LoadTest, Rounding) {
    struct Case {
        const char* why;
        const char* line;
        const char* values;  // load1 load5 load15 jobs
    };
    const Case cases[] = {
        {"plain", "0.52 0.58 0.59 2/1123 45678", "52 58 59 1123"},
        {"the half is added, then cut", "12.345 0.004 0.005 1/2 3", "1235 0 1 2"},
        {"double precision: 1.005 gives 100", "1.005 100.00 0 0/0 0", "100 10000 0 0"},
        {"reading stops at the first unreadable value", "0.5 x 0.7 1/2 3", "50 0 0 0"},
        {"an empty file gives zeros", "", "0 0 0 0"},
        {"values the field cannot hold are clamped", "-1 1e10 nan 1/4294967296 1",
         "0 4294967295 0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        put("/proc/loadavg", std::string(c.line) + "\n");
        SensorLoad load;
        ASSERT_EQ(load.init(), 0);
        const auto rows = decodeRows(load, load.getMetricData());
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(field(rows[0], "load1") + " " + field(rows[0], "load5") + " " +
                      field(rows[0], "load15") + " " + field(rows[0], "jobs"),
                  c.values);
    }
}

TEST_F(LoadTest, MissingFileFailsInit) {
    SensorLoad load;
    EXPECT_EQ(load.init(), -1);
    EXPECT_EQ(load.getMetricData()->numSets, 0u);
}

}  // namespace
