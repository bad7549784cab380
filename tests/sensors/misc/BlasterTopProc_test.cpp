#include "BlasterTopProc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "FNV1AHash.h"
#include "MiscTestSupport.h"
#include "TopkReport.h"
#include "WaveGenerators.h"

namespace {

using MiscTest::countOf;

struct Entry {
    std::string name;
    uint32_t pid;
    unsigned cpu, mem;
    uint32_t interval;
};

std::vector<Entry> reportOf(const dataSet_t* set) {
    const auto& row = *reinterpret_cast<const BlasterTopProc::BTPData*>(set->data);
    std::vector<Entry> out;
    for (const IPFIXTopProcType& r : row.report) {
        out.push_back({std::string(r.procName, strnlen(r.procName, 16)), ntohl(r.pid),
                       ntohs(r.totCPUpm), ntohs(r.resMempm), ntohl(r.repInterval)});
    }
    return out;
}

class BlasterTopProcTest : public MiscTest::Fixture {
  protected:
    void SetUp() override {
        MiscTest::Fixture::SetUp();
        setBlasterNoiseState(1);
    }
};

TEST_F(BlasterTopProcTest, TemplateGivesTheReportLengthTheMetadataDoesNot) {
    BlasterTopProc s;
    EXPECT_EQ(s.getSensorID(), SensorID::Blaster);
    EXPECT_EQ(s.getName(), "Blaster");
    EXPECT_EQ(s.getPollPeriod(), 1000000u);
    const std::vector<FieldSpecifier> expect = {
        {100, 64, 2}, {101, 36, 2}, {106, 12, 2}, {10010, 280, 2}};
    EXPECT_EQ(*s.getMetricDataDef(), expect);
    const dataSet_t* meta = s.getMetaData();
    ASSERT_EQ(meta->numSets, 4u);
    const auto* btop = reinterpret_cast<const MetricsMetadata*>(meta->data) + 3;
    EXPECT_STREQ(btop->metricName, "btop");
    EXPECT_EQ(ntohs(btop->metricLen), 0);
    EXPECT_EQ(ntohs(btop->metricType), DT_REPORT);
}

TEST_F(BlasterTopProcTest, FirstReportRanksTheNineProcessesThenTheFiller) {
    BlasterTopProc s;
    ASSERT_EQ(s.init(), 0);
    const dataSet_t* set = s.getMetricData();
    ASSERT_EQ(set->numSets, 1u);
    EXPECT_EQ(set->setLength, 392u);

    const auto& row = *reinterpret_cast<const BlasterTopProc::BTPData*>(set->data);
    EXPECT_STREQ(row.sensorName, "Blaster");
    EXPECT_EQ(row.metricKey.nodeID, FNV1AHash32(row.nodeName, 64));
    EXPECT_EQ(row.metricKey.metricClusterID, 0u);
    EXPECT_EQ(row.metricKey.sensorID, 1);
    EXPECT_EQ(row.metricKey.metricID, 0);

    const std::vector<std::pair<std::string, unsigned>> expect = {
        {"proc01", 172}, {"proc04", 172}, {"proc07", 172}, {"proc00", 86}, {"proc03", 86},
        {"proc06", 86},  {"proc02", 77},  {"proc08", 74},  {"proc05", 69}, {"(void)", 0}};
    const auto report = reportOf(set);
    ASSERT_EQ(report.size(), 10u);
    unsigned total = 0;
    for (size_t i = 0; i < report.size(); ++i) {
        EXPECT_EQ(report[i].name, expect[i].first) << i;
        EXPECT_EQ(report[i].cpu, expect[i].second) << i;
        EXPECT_EQ(report[i].mem, report[i].cpu) << i;
        total += report[i].cpu;
        EXPECT_EQ(report[i].interval, 10u) << i;
        if (i < 9) {
            EXPECT_EQ(report[i].pid, static_cast<uint32_t>(std::stoul(report[i].name.substr(4))));
        } else {
            EXPECT_EQ(report[i].pid, 0u);
        }
    }
    // A reader accepts the report, filler included.
    TopkReport parsed;
    ASSERT_EQ(parsed.parse(row.report, sizeof row.report), 0);
    EXPECT_EQ(parsed.getInterval(), 10u);
    EXPECT_EQ(parsed.getTopk().size(), 10u);
    EXPECT_EQ(total, 994u);
    // Names are zero padded to 16 bytes.
    const char padded[16] = "proc01";
    EXPECT_EQ(std::memcmp(row.report[0].procName, padded, 16), 0);
    // The three noise generators drew the states 1, 98 and 195.
    EXPECT_EQ(blasterNoiseState(), 292);

    // Later reports keep every process listed, the filler last.
    for (int i = 0; i < 50; ++i) {
        const auto r = reportOf(s.getMetricData());
        EXPECT_EQ(r[9].name, "(void)");
        for (size_t j = 1; j < 9; ++j) EXPECT_GE(r[j - 1].cpu, r[j].cpu);
    }
}

TEST_F(BlasterTopProcTest, SampleLimitStopsAfterMaxCounterReports) {
    env.set("VELMAR_BLASTER_MAXCOUNTER", "3");
    BlasterTopProc s;
    ASSERT_EQ(s.init(), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.getMetricData()->numSets, 1u) << i;
    EXPECT_EQ(s.getMetricData()->numSets, 0u);
    EXPECT_EQ(s.getMetricData()->numSets, 0u);
    EXPECT_EQ(s.getStatus(), 0);
    EXPECT_EQ(s.shutdown(), 0);
    EXPECT_EQ(countOf(daemonLog(), "Blaster: blaster generated 3 data sets"), 1u);
}

TEST(WaveGenerators, SineAndRectangle) {
    sin_wave_generator sine(0.5, 31, 0.5);
    for (uint64_t s : {0u, 1u, 7u, 100u}) {
        EXPECT_DOUBLE_EQ(sine.value(s), 0.5 + 0.5 * std::sin(2.0 * s / 31.0)) << s;
    }
    // Wave length 23: high for steps 0 to 10, low for 11 to 22, then again.
    rect_wave_generator rect(0.5, 23, 0.5);
    for (uint64_t s = 0; s < 46; ++s) {
        EXPECT_EQ(rect.value(s), s % 23 < 11 ? 1.0 : 0.0) << s;
    }
    rect_wave_generator flat(0.5, 0, 0.5);
    EXPECT_EQ(flat.value(5), 0.5);
}

TEST(WaveGenerators, NoiseWalksAndDropsStepsBeyondItsBounds) {
    setBlasterNoiseState(1);
    noise_generator noise(0.5, 0.05, 0.5);
    EXPECT_NEAR(noise.value(0), 0.450002, 1e-6);
    EXPECT_EQ(blasterNoiseState(), 98);
    // Steps of almost -2 would leave -0.5..0.5: they are dropped and the
    // value repeats.
    setBlasterNoiseState(1);
    noise_generator wild(0.5, 2.0, 0.5);
    EXPECT_EQ(wild.value(0), 0.5);
    EXPECT_EQ(wild.value(0), 0.5);
    EXPECT_EQ(blasterNoiseState(), 195);
    // The state runs in steps of 97 modulo 65536.
    setBlasterNoiseState(65535);
    noise.value(0);
    EXPECT_EQ(blasterNoiseState(), (65535 + 97) % 65536);
}

}  // namespace
