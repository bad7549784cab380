// The per-node base's handling of each sample's reply, driven through the
// query seam with the small cache-hit sensor: which samples report a row,
// which messages are written and when.
#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NodeSensorTestSupport.h"
#include "SensorDRIXCacheStat.h"

namespace {

using NodeTest::Probe;
using NodeTest::ReplyQuery;

std::string reply(const std::string& records) {
    return "_response_ begin x chms\n" + records + "_response_ end\n";
}
std::string good(const std::string& keys) { return reply("_tallyq::chms_ " + keys + "\n"); }
std::string code(const std::string& rc) { return good("_rc_ " + rc + " _dch_ 1"); }

const std::string NO_RESULTS = "Error: No results received from tallyq, no metrics to report.";
const std::string RESUMED = "Info: Resumed reporting.";

struct Case {
    const char* what;
    std::vector<std::string> replies;  // one per sample
    std::vector<uint32_t> numSets;     // of each sample
    std::vector<std::string> logged;   // error and info lines, in order
    int64_t lastHit;                   // dataCacheHit of the last row; -1 for none
    int64_t lastMiss;
};

const Case cases[] = {
    {"a failure is logged once, the recovery once",
     {code("5"), code("5"), good("_dch_ 3")},
     {0, 0, 1},
     {"Error: Error from tallyq: 5, no metrics to report ", RESUMED},
     3,
     0},
    {"the code prints as signed",
     {code("4294967295")},
     {0},
     {"Error: Error from tallyq: -1, no metrics to report "},
     -1,
     -1},
    {"a record without _rc_ is a success", {good("_dch_ 1 _dcm_ 2")}, {1}, {}, 1, 2},
    {"only the first record's code counts",
     {reply("_tallyq::chms_ _dch_ 4\n_tallyq::chms_ _rc_ 5 _dch_ 9\n")},
     {1},
     {},
     4,
     0},
    // Cut short before its end line: type unknown, records and all.
    {"a cut-short reply",
     {"_response_ begin x chms\n_tallyq::chms_ _dch_ 1\n"},
     {0},
     {NO_RESULTS},
     -1,
     -1},
    {"an error reply", {reply("_error_ e1\n")}, {0}, {"Error: Mtallyq error: e1."}, -1, -1},
    // The reply's name is text from outside; it must come out as it is.
    {"conversions in the reply name",
     {reply("_error_ %s%n%d\n")},
     {0},
     {"Error: Mtallyq error: %s%n%d."},
     -1,
     -1},
    {"no reply from the channel",
     {ReplyQuery::NO_REPLY, ReplyQuery::NO_REPLY, good("")},
     {0, 0, 1},
     {NO_RESULTS, RESUMED},
     0,
     0},
    {"a field missing in the next sample reads 0",
     {good("_dch_ 5 _dcm_ 6"), good("_dcm_ 7")},
     {1, 1},
     {},
     0,
     7},
    {"a different failure while failing stays silent",
     {code("5"), reply("_error_ e1\n")},
     {0, 0},
     {"Error: Error from tallyq: 5, no metrics to report "},
     -1,
     -1},
};

uint32_t u32At(const char* row, std::size_t offset) {
    uint32_t v;
    std::memcpy(&v, row + offset, 4);
    return be32toh(v);
}

TEST(SensorDRIXNodeBase, RepliesAndTheirMessages) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReplyQuery query(c.replies);
        Probe<SensorDRIXCacheStat> sensor;
        sensor.setQuery(&query);
        ASSERT_EQ(sensor.init(), 0);
        const dataSet_t* set = nullptr;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            set = sensor.getMetricData();
            ASSERT_NE(set, nullptr);
            EXPECT_EQ(set->numSets, c.numSets[i]) << "sample " << i;
        }
        EXPECT_EQ(sensor.logged(), c.logged);
        EXPECT_EQ(query.requests, std::vector<std::string>(c.replies.size(), "tallyq chms"));
        if (c.lastHit >= 0) {
            ASSERT_EQ(set->numSets, 1u);
            EXPECT_EQ(u32At(set->data, offsetof(DRIXCacheData, dataCacheHit)), c.lastHit);
            EXPECT_EQ(u32At(set->data, offsetof(DRIXCacheData, dataCacheMiss)), c.lastMiss);
        }
        EXPECT_EQ(sensor.getStatus(), 0);
        EXPECT_EQ(sensor.shutdown(), 0);
    }
}

// Without configuration there is no relay, so the process never gets a
// channel: the sensor fails every sample with one message and never asks
// again.
TEST(SensorDRIXNodeBase, NoChannelAtInit) {
    Probe<SensorDRIXCacheStat> sensor;
    EXPECT_EQ(sensor.init(), -1);
    EXPECT_EQ(sensor.getStatus(), -1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    EXPECT_EQ(sensor.logged(),
              std::vector<std::string>{"Error: Cannot connect to tallyq, no metrics to report."});
    EXPECT_EQ(sensor.shutdown(), 0);
}

}  // namespace
