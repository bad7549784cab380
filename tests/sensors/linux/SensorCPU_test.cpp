#include "SensorCPU.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostSensorTestUtil.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;

class CpuTest : public hosttest::ProcRoot {
  protected:
    // Rewrites /proc/stat in place and takes one sample.
    std::vector<std::string> sample(SensorCPU& cpu, const std::string& aggregate) {
        put("/proc/stat", aggregate + "\ncpu0 1 2 3 4\nintr 77 1 2\nctxt 88\n");
        return decodeRows(cpu, cpu.getMetricData());
    }
    // The ten shares of a row, in column order.
    static std::string shares(const std::string& row) {
        std::string s;
        for (const char* name :
             {"cpu_user", "cpu_nice", "cpu_system", "cpu_idle", "cpu_iowait", "cpu_hiq", "cpu_siq",
              "cpu_steal", "cpu_guest", "cpu_guest_nice"}) {
            s += (s.empty() ? "" : " ") + field(row, name);
        }
        return s;
    }
};

TEST_F(CpuTest, SecondSampleOfTheGoldenFilesGivesTheExpectedRow) {
    putFixture("/proc/stat", "cpu/stat.1");
    SensorCPU cpu;
    ASSERT_EQ(cpu.init(), 0);
    const dataSet_t* first = cpu.getMetricData();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->numSets, 0u) << "the first sample only records the counters";
    EXPECT_EQ(first->setLength, 168u);

    putFixture("/proc/stat", "cpu/stat.2");
    EXPECT_EQ(decodeRows(cpu, cpu.getMetricData()), hosttest::goldenRows("cpu/expected.txt"));
    EXPECT_EQ(cpu.getStatus(), 0);
}

TEST_F(CpuTest, SharesFromCounterDeltas) {
    struct Case {
        const char* why;
        const char* first;
        const char* second;
        const char* shares;  // user nice system idle iowait hiq siq steal guest guest_nice
    };
    const Case cases[] = {
        {"guest beyond user: user share 0, guest gets the user delta",
         "cpu  100 0 0 900 0 0 0 0 0 0", "cpu  200 0 0 1800 0 0 0 0 150 0",
         "0 0 0 9000 0 0 0 0 1000 0"},
        {"guest inside user and guest_nice inside nice are split out",
         "cpu  100 100 0 800 0 0 0 0 0 0", "cpu  300 200 0 1500 0 0 0 0 50 25",
         "1500 750 0 7000 0 0 0 0 500 250"},
        {"a counter that went backwards counts 0, not its whole total",
         "cpu  1000 0 500 8000 300 0 0 0 0 0", "cpu  1100 0 550 8850 100 0 0 0 0 0",
         "1000 0 500 8500 0 0 0 0 0 0"},
        {"four columns only: iowait to guest_nice read as 0", "cpu  100 0 50 850",
         "cpu  200 0 100 1700", "1000 0 500 8500 0 0 0 0 0 0"},
        {"user 0 with nice set: the nice time is reported as user", "cpu  0 500 0 500",
         "cpu  0 1000 0 1000", "5000 0 0 5000 0 0 0 0 0 0"},
        {"thirds are cut after adding the half", "cpu  10 0 10 10 0 0 0 0 0 0",
         "cpu  11 0 11 11 0 0 0 0 0 0", "3333 0 3333 3333 0 0 0 0 0 0"},
        {"all eight time columns share the total", "cpu  1 1 1 1 1 1 1 1 0 0",
         "cpu  2 2 2 2 2 2 2 2 0 0", "1250 1250 1250 1250 1250 1250 1250 1250 0 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        put("/proc/stat", "");
        SensorCPU cpu;
        ASSERT_EQ(cpu.init(), 0);
        EXPECT_TRUE(sample(cpu, c.first).empty());
        const auto rows = sample(cpu, c.second);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(shares(rows[0]), c.shares);
    }
}

TEST_F(CpuTest, NoRecordWithoutElapsedTime) {
    put("/proc/stat", "");
    SensorCPU cpu;
    ASSERT_EQ(cpu.init(), 0);
    EXPECT_TRUE(sample(cpu, "cpu  100 0 50 850").empty());

    // Identical counters: no record, and the shares are marked invalid.
    put("/proc/stat", "cpu  100 0 50 850\n");
    dataSet_t peek = *cpu.getMetricData();
    EXPECT_EQ(peek.numSets, 0u);
    peek.numSets = 1;
    const auto stale = decodeRows(cpu, &peek);
    EXPECT_EQ(shares(stale[0]),
              "4294967295 4294967295 4294967295 4294967295 4294967295 4294967295 4294967295 "
              "4294967295 4294967295 4294967295");

    // Growth again gives a record again.
    const auto rows = sample(cpu, "cpu  200 0 100 1700");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(shares(rows[0]), "1000 0 500 8500 0 0 0 0 0 0");
}

TEST_F(CpuTest, ZeroUserAndNiceTotalsNeverGiveARecord) {
    // The first-sample test looks at the previous user total, which stays 0.
    put("/proc/stat", "");
    SensorCPU cpu;
    ASSERT_EQ(cpu.init(), 0);
    for (const char* line : {"cpu  0 0 50 850", "cpu  0 0 100 1700", "cpu  0 0 150 2550"}) {
        EXPECT_TRUE(sample(cpu, line).empty()) << line;
    }
}

TEST_F(CpuTest, InterruptsAndContextSwitchesAreRunningTotals) {
    put("/proc/stat", "");
    SensorCPU cpu;
    ASSERT_EQ(cpu.init(), 0);
    put("/proc/stat", "cpu  100 0 0 900\nintr 1000 5 5\nctxt 2000\n");
    cpu.getMetricData();
    put("/proc/stat", "cpu  200 0 0 1800\nintr 1500 5 5\nctxt 2600\n");
    const auto rows = decodeRows(cpu, cpu.getMetricData());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "cpu_interrupts"), "1500");
    EXPECT_EQ(field(rows[0], "cpu_contexts"), "2600");
}

TEST_F(CpuTest, MissingFileFailsInitAndYieldsNoRecords) {
    SensorCPU cpu;
    EXPECT_EQ(cpu.init(), -1);
    const dataSet_t* set = cpu.getMetricData();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->numSets, 0u);
    EXPECT_EQ(cpu.shutdown(), 0);
}

TEST(ProcStatParser, ReadsOnlyWhatTheTextHolds) {
    ProcStatCounters c = {{9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, 5, 6};
    // Without an aggregate line the time columns keep their values; a short
    // or garbled line reads its leading numbers and zeroes the rest.
    parseProcStat("cpu0 1 2 3\nintr 42\n", c);
    EXPECT_EQ(c.cpu[0], 9u);
    EXPECT_EQ(c.intr, 42u);
    EXPECT_EQ(c.ctxt, 6u);
    parseProcStat("cpu  7 x 8\nctxt\nctxt 99999999999999999999999\n", c);
    EXPECT_EQ(c.cpu[0], 7u);
    EXPECT_EQ(c.cpu[1], 0u);
    EXPECT_EQ(c.cpu[2], 0u);
    EXPECT_EQ(c.ctxt, 6u) << "an overflowing total is not read";
    parseProcStat("cpu ", c);
    EXPECT_EQ(c.cpu[0], 0u);
}

}  // namespace
