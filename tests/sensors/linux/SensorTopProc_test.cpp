#include "SensorTopProc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "SensorFactory.h"
#include "ToolSensorTestUtil.h"
#include "TopkReport.h"
#include "stubs/StubHarness.h"

namespace {

procInfo_t task(int tid, const char* name, uint64_t utime, uint64_t stime, uint32_t rssKiB = 0) {
    procInfo_t p;
    std::memset(&p, 0, sizeof p);
    p.tid = tid;
    std::strncpy(p.cmd, name, sizeof p.cmd - 1);
    p.utime = utime;
    p.stime = stime;
    p.vmRss = rssKiB;
    return p;
}

// The report's records in host order.
std::vector<IPFIXTopProcType> records(const topReport_t& report) {
    std::vector<IPFIXTopProcType> out;
    for (const IPFIXTopProcType& r : report) {
        IPFIXTopProcType h;
        ipfixTopProcToHost(h, r);
        out.push_back(h);
    }
    return out;
}

constexpr int64_t FIVE_SECONDS = 5000000;

TEST(TopProcRank, SharesAndIntervalInTicks) {
    procInfoMap_t last, cur;
    last[10] = task(10, "busy", 1000, 200, 2048);
    cur[10] = task(10, "busy", 1400, 300, 2048);  // 500 ticks in 5 s: one whole CPU
    last[11] = task(11, "half", 0, 0);
    cur[11] = task(11, "half", 200, 50);
    topReport_t report;
    // RAM of 2 GiB: 2048 KiB is about 1 per mille.
    const float scaling = static_cast<float>(1024000.0 / (2048.0 * 1024 * 1024));
    ASSERT_TRUE(rankTopProcs(last, cur, FIVE_SECONDS, 100, scaling, report));
    const auto recs = records(report);
    EXPECT_STREQ(recs[0].procName, "busy");
    EXPECT_EQ(recs[0].pid, 10u);
    EXPECT_EQ(recs[0].totCPUpm, 1000);
    EXPECT_EQ(recs[0].resMempm, 1);
    EXPECT_EQ(recs[0].repInterval, 500u);
    EXPECT_EQ(recs[1].pid, 11u);
    EXPECT_EQ(recs[1].totCPUpm, 500);
    for (size_t i = 2; i < 10; ++i) {
        EXPECT_STREQ(recs[i].procName, "(void)");
        EXPECT_EQ(recs[i].pid, 0u);
        EXPECT_EQ(recs[i].totCPUpm, 0);
        EXPECT_EQ(recs[i].resMempm, 0);
    }
    // Readers require one interval in every record, fillers included.
    TopkReport parsed;
    ASSERT_EQ(parsed.parse(report, sizeof report), 0);
    EXPECT_EQ(parsed.getInterval(), 500u);
}

TEST(TopProcRank, TiesKeepTheLowestTaskIds) {
    procInfoMap_t last, cur;
    for (int tid = 100; tid > 89; --tid) {  // eleven tasks, 50 ticks each
        last[tid] = task(tid, "same", 0, 0);
        cur[tid] = task(tid, "same", 50, 0);
    }
    topReport_t report;
    ASSERT_TRUE(rankTopProcs(last, cur, FIVE_SECONDS, 100, 0, report));
    const auto recs = records(report);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(recs[i].pid, 90u + i);
        EXPECT_EQ(recs[i].totCPUpm, 100);
    }
}

TEST(TopProcRank, TasksNotInBothScansAndReusedIds) {
    procInfoMap_t last, cur;
    last[5] = task(5, "gone", 0, 0);
    cur[6] = task(6, "new", 900, 0);  // started during the interval
    last[7] = task(7, "reused", 5000, 0);
    cur[7] = task(7, "reused", 10, 0);  // fewer ticks: another task now
    topReport_t report;
    ASSERT_TRUE(rankTopProcs(last, cur, FIVE_SECONDS, 100, 0, report));
    const auto recs = records(report);
    EXPECT_EQ(recs[0].pid, 7u);
    EXPECT_EQ(recs[0].totCPUpm, 0);
    EXPECT_STREQ(recs[1].procName, "(void)");
}

TEST(TopProcRank, SharesThatDoNotFitSaturate) {
    procInfoMap_t last, cur;
    last[1] = task(1, "many", 0, 0, 0);
    cur[1] = task(1, "many", 100000000, 0, 4000000000u);
    topReport_t report;
    ASSERT_TRUE(rankTopProcs(last, cur, 1000000, 100, 1.0f, report));
    const auto recs = records(report);
    EXPECT_EQ(recs[0].totCPUpm, 65535);
    EXPECT_EQ(recs[0].resMempm, 65535);
    EXPECT_EQ(perMille(NAN), 0);
    EXPECT_EQ(perMille(-3.0f), 0);
    EXPECT_EQ(perMille(INFINITY), 65535);
    EXPECT_EQ(perMille(999.4f), 999);
    EXPECT_EQ(perMille(999.5f), 1000);
}

TEST(TopProcRank, NoPositiveIntervalLeavesTheReportAlone) {
    procInfoMap_t last, cur;
    last[1] = task(1, "a", 0, 0);
    cur[1] = task(1, "a", 10, 0);
    topReport_t report;
    std::memset(&report, 0x5a, sizeof report);
    EXPECT_FALSE(rankTopProcs(last, cur, 0, 100, 0, report));
    EXPECT_FALSE(rankTopProcs(last, cur, -1000, 100, 0, report));
    EXPECT_FALSE(rankTopProcs(last, cur, FIVE_SECONDS, 0, 0, report));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&report)[0], 0x5a);
}

// A child that keeps one CPU busy until killed.
class BusyChild {
  public:
    BusyChild() {
        pid = fork();
        if (pid == 0) {
            volatile unsigned long n = 0;
            for (;;) ++n;
        }
    }
    ~BusyChild() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid;
};

TEST(TopProcTable, ABusyChildUsesAboutOneCpu) {
    ASSERT_EQ(initProcMap(), 0) << "the process-table library must load";
    BusyChild child;
    ASSERT_GT(child.pid, 0);
    // Rank the child alone, so that other busy tasks of a loaded machine
    // cannot push it out of the ten.
    procInfoMap_t first, second, mine1, mine2;
    timeval t1, t2;
    ASSERT_EQ(loadProcMap(first, t1), 0);
    usleep(1500000);
    ASSERT_EQ(loadProcMap(second, t2), 0);
    ASSERT_EQ(first.count(child.pid), 1u);
    ASSERT_EQ(second.count(child.pid), 1u);
    mine1[child.pid] = first[child.pid];
    mine2[child.pid] = second[child.pid];
    const int64_t elapsed = (t2.tv_sec - t1.tv_sec) * 1000000LL + (t2.tv_usec - t1.tv_usec);
    topReport_t report;
    ASSERT_TRUE(rankTopProcs(mine1, mine2, elapsed, sysconf(_SC_CLK_TCK), 0, report));
    const auto recs = records(report);
    EXPECT_EQ(recs[0].pid, static_cast<uint32_t>(child.pid));
    // A whole CPU is 1000. A machine loaded by a parallel test run gave the
    // child as little as 450, so the lower bound only rules out a wrong scale.
    EXPECT_GE(recs[0].totCPUpm, 250);
    EXPECT_LE(recs[0].totCPUpm, 1100);
}

class TopProcSensorTest : public hosttest::ProcRoot {};

TEST(ToolSensorRegistry, EveryToolSensorIsRegisteredWithItsIdentityAndPeriod) {
    struct Expect {
        const char* name;
        SensorID::SensorID id;
        uint64_t period;
        uint32_t rowLength;
    } const expected[] = {
        {"HDDTemp", SensorID::HDDTemp, 1000000, 124},
        {"DiskFree", SensorID::DiskFree, 10000000, 392},
        {"Infiniband", SensorID::Infiniband, 1000000, 272},
        {"TopProc", SensorID::TopProc, 5000000, 392},
    };
    for (const Expect& e : expected) {
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(e.name));
        ASSERT_NE(s, nullptr) << e.name << " not registered";
        EXPECT_EQ(s->getSensorID(), e.id);
        EXPECT_EQ(s->getName(), e.name);
        EXPECT_EQ(s->getPollPeriod(), e.period) << e.name;
        uint32_t length = 0;
        for (const FieldSpecifier& f : *s->getMetricDataDef()) length += f.fieldLen;
        EXPECT_EQ(length, e.rowLength) << e.name;
    }
}

TEST_F(TopProcSensorTest, RegisteredAndDescribedWithATenRecordReport) {
    ASSERT_NE(SensorFactory::findGenerator("TopProc"), nullptr)
        << "registered because the library loads";
    std::unique_ptr<AbstractSensor> sensor(SensorFactory::createSensor("TopProc"));
    ASSERT_NE(sensor, nullptr);
    EXPECT_EQ(sensor->getPollPeriod(), 5000000u);
    const std::vector<FieldSpecifier>* def = sensor->getMetricDataDef();
    ASSERT_EQ(def->size(), 4u);
    const uint16_t ids[] = {100, 101, 106, 10010}, lens[] = {64, 36, 12, 280};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ((*def)[i].fieldType, ids[i]);
        EXPECT_EQ((*def)[i].fieldLen, lens[i]);
        EXPECT_EQ((*def)[i].enterprise_id, 2u);
    }
}

TEST_F(TopProcSensorTest, FirstSampleEmptyThenTenRankedRecords) {
    SensorTopProc sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->numSets, 0u) << "the first sample only records the table";
    EXPECT_EQ(set->setLength, 392u);
    EXPECT_EQ(sensor.getStatus(), 0);

    usleep(200000);
    set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 1u);
    const auto* row = reinterpret_cast<const topSensorData_t*>(set->data);
    EXPECT_STREQ(row->nodeName, "testnode");
    EXPECT_STREQ(row->sensorName, "TopProc");
    EXPECT_EQ(row->metricKey.metricClusterID, 0u);
    EXPECT_EQ(row->metricKey.sensorID, SensorID::TopProc);
    TopkReport parsed;
    ASSERT_EQ(parsed.parse(row->topReport, sizeof row->topReport), 0);
    ASSERT_EQ(parsed.getTopk().size(), 10u);
    // About 20 ticks at 100 per second.
    EXPECT_GE(parsed.getInterval(), 15u);
    EXPECT_LE(parsed.getInterval(), 100u);
    for (size_t i = 1; i < 10; ++i) EXPECT_LE(parsed.getTopk()[i].cpu, parsed.getTopk()[i - 1].cpu);

    // init forgets the previous table.
    ASSERT_EQ(sensor.init(), 0);
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
}

TEST_F(TopProcSensorTest, UnreadableTableFailsTheSampleAndKeepsThePreviousOne) {
    SensorTopProc sensor;
    ASSERT_EQ(sensor.init(), 0);
    ASSERT_EQ(sensor.getMetricData()->numSets, 0u);
    {
        // The library reads /proc below this root, where there is none.
        StubHarness::ScopedEnv env;
        env.set("VELMAR_PLATFORM_ROOT", (root + "/nowhere").c_str());
        EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
        EXPECT_EQ(sensor.getStatus(), -1);
    }
    // The next good sample compares with the last good table.
    EXPECT_EQ(sensor.getMetricData()->numSets, 1u);
    EXPECT_EQ(sensor.getStatus(), 0);
}

TEST_F(TopProcSensorTest, DebugEnvironmentDumpsEveryTable) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    {
        StubHarness::ScopedEnv env;
        env.set("VELMAR_TOPPROC_DEBUG", "");
        SensorTopProc sensor;
        ASSERT_EQ(sensor.init(), 0);
        sensor.getMetricData();
    }
    const time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    char dir[32];
    strftime(dir, sizeof dir, "%y-%m-%d-%H", &tmNow);
    const bool dumped = tooltest::shell("test -n \"$(ls '" + root + "/" + dir + "' 2>/dev/null)\"");
    // Without the variable nothing is written.
    ASSERT_TRUE(tooltest::shell("rm -rf '" + root + "/" + dir + "'"));
    {
        SensorTopProc sensor;
        ASSERT_EQ(sensor.init(), 0);
        sensor.getMetricData();
    }
    const bool dumpedWithout = tooltest::shell("test -e '" + root + "/" + dir + "'");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(dumped);
    EXPECT_FALSE(dumpedWithout);
}

}  // namespace
