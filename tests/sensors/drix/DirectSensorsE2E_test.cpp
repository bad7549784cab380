// End to end: a controller in this process runs the seven direct statistics
// sensors against the fake relay and exports to the test collector over
// loopback. A sample whose first group is held back but whose second has a
// row (the verbs-only RPC totals) reaches the collector; a sensor whose
// samples never hold a row sends nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "InProcessE2E.h"
#include "PlatformPaths.h"

namespace {

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/directstats/";

// The RPC totals without the channel wait: the TCP row is held back.
const char* VERBS_ONLY =
    "_response_ begin tallyq rpcs\n_tallyq::rpcs _rc_ 0\n"
    "_rpcObj_ _obj_ AG_STAT_SEND_TIME_TCP\n_stats_ _av_ 0.1 _min_ 0.1 _max_ 0.1 _cnt_ 1\n"
    "_rpcObj_ _obj_ AG_STAT_SEND_TIME_VERBS\n_stats_ _av_ 0.1 _min_ 0.1 _max_ 0.1 _cnt_ 61\n"
    "_rpcObj_ _obj_ AG_STAT_RPC_LATENCY_VERBS\n_stats_ _av_ 0.1 _min_ 0.1 _max_ 0.1 _cnt_ 62\n"
    "_rpcObj_ _obj_ AG_STAT_RPC_LATENCY_MIXED\n_stats_ _av_ 0.1 _min_ 0.1 _max_ 0.1 _cnt_ 63\n"
    "_response_ end\n";

TEST(DirectSensorsE2E, EverySensorReachesTheCollector) {
    signal(SIGPIPE, SIG_IGN);
    StubHarness::TempDir dir;
    const std::pair<const char*, std::string> replies[] = {
        {"tallyq mutex", e2e::readFile(FIXTURES + "mutex.reply")},
        {"tallyq condvar", "_response_ begin tallyq condvar\n_tallyq::c _rc_ 5\n_response_ end\n"},
        {"tallyq rpcs ns", VERBS_ONLY},
        {"tallyq rpcs 1s", e2e::readFile(FIXTURES + "rpcs_1s.reply")},
        {"tallyq wt", e2e::readFile(FIXTURES + "wt.reply")},
        {"tallyq bufmgr_s", e2e::readFile(FIXTURES + "bufmgr_s.reply")},
        {"tallyq pdisk_s", e2e::readFile(FIXTURES + "pdisk_s.reply")},
        {"tallyq da_s", e2e::readFile(FIXTURES + "da_s.reply")},
    };
    for (const auto& r : replies) std::ofstream(dir.path() + "/" + r.first + ".reply") << r.second;
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", dir.path().c_str());
    Platform::setRoot(FIXTURES + "root");

    e2e::Collector collector(dir.path() + "/collected");
    ASSERT_FALSE(collector.port.empty());
    e2e::InProcess controller;
    ASSERT_TRUE(controller.start(dir.path(), collector.port,
                                 {"DRIXMutex", "DRIXCondvar", "DRIXRPCS", "DRIXRPCSPeer",
                                  "DRIXWaiters", "DRIXBufMgr", "DRIXJZK"}));
    // Template ids by sensor and group.
    std::map<std::string, std::vector<unsigned>> ids;
    for (SensorCtrlBlock* b : SensorCtrl::getSensorCtrl()->sensors)
        for (const IPFIXTemplSet& t : b->metricsTemplate)
            ids[b->sensor->getName()].push_back(t.getTemplateID());
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    SensorCtrl::terminateSensorCtrl(nullptr);
    Platform::setRoot("");

    const std::string out = collector.finish();
    // Records received and templates announced, per template id.
    std::set<unsigned> announced;
    std::map<unsigned, unsigned long> records = e2e::recordsById(out, &announced);
    // Whether each group delivers rows.
    const std::map<std::string, std::vector<bool>> delivers = {
        {"DRIXMutex", {true}},     {"DRIXCondvar", {false}}, {"DRIXRPCS", {false, true}},
        {"DRIXRPCSPeer", {true}},  {"DRIXWaiters", {true}},  {"DRIXBufMgr", {true, false}},
        {"DRIXJZK", {true, true}},
    };
    ASSERT_EQ(ids.size(), delivers.size());
    for (const auto& sensor : delivers) {
        SCOPED_TRACE(sensor.first);
        ASSERT_EQ(ids[sensor.first].size(), sensor.second.size());
        for (std::size_t g = 0; g < sensor.second.size(); ++g) {
            const unsigned id = ids[sensor.first][g];
            if (sensor.second[g])
                EXPECT_GE(records[id], 2u) << "group " << g;
            else
                EXPECT_EQ(records[id], 0u) << "group " << g;
        }
    }
    // Samples without any row are not exported at all.
    EXPECT_EQ(announced.count(ids["DRIXCondvar"][0]), 0u);
    EXPECT_NE(out.find("drix_rpcs_lat_mix_cnt=63"), std::string::npos) << out;
    EXPECT_NE(out.find(" errors=0\n"), std::string::npos);
}

}  // namespace
