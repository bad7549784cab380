// The seven statistics sensors built straight on AbstractSensor, driven
// through their query seam: tables, the shared reply checks, and each
// sensor's own record rules.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "DirectSensorTestSupport.h"
#include "FNV1AHash.h"
#include "NodeSensorTestSupport.h"
#include "PlatformPaths.h"
#include "SensorDRIXBufMgr.h"
#include "SensorDRIXCondvar.h"
#include "SensorDRIXJZK.h"
#include "SensorDRIXMutex.h"
#include "SensorDRIXRPCS.h"
#include "SensorDRIXRPCSPeer.h"
#include "SensorDRIXWaiters.h"
#include "SensorFactory.h"
#include "stubs/StubHarness.h"

namespace {

using DirectTest::dumpRows;
using DirectTest::field;
using DirectTest::Made;
using DirectTest::make;
using DirectTest::ReplyQueue;

// A good reply: its header record, then the given lines.
std::string reply(const std::vector<std::string>& lines) {
    std::string text = "_response_ begin tallyq r\n_tallyq::r _rc_ 0\n";
    for (const std::string& l : lines) text += l + "\n";
    return text + "_response_ end\n";
}

// ---- the key prober ----

TEST(KeyProber, NextFreeValueOneHigherAndWrapping) {
    struct Case {
        const char* why;
        std::vector<uint32_t> hashes;
        std::vector<uint32_t> keys;
        std::vector<std::string> logged;  // by the report that ends each sample
    };
    const std::string e = "Error: Hash collision in sensor S while computing metric key for: ";
    const Case cases[] = {
        // The run 5..7 is skipped as one, and a hash inside it lands past it.
        {"into a run",
         {5, 5, 5, 6, 8},
         {5, 6, 7, 8, 9},
         {e + "k5 (records collided: 4, most steps: 2)"}},
        {"past the top",
         {0xffffffffu, 0xffffffffu, 0, 0xfffffffeu},
         {0xffffffffu, 0, 1, 0xfffffffeu},
         {e + "k4294967295 (records collided: 2, most steps: 1)"}},
        {"no collision", {1, 3, 2}, {1, 3, 2}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        DirectStat::KeyProber set;
        NodeTest::CaptureLogger log;
        for (int sample = 0; sample < 2; ++sample) {  // the second after a clear
            SCOPED_TRACE(sample);
            set.clear();
            log.lines.clear();
            std::vector<uint32_t> keys;
            for (const uint32_t h : c.hashes)
                keys.push_back(set.claim(h, [h] { return "k" + std::to_string(h); }));
            set.reportCollisions(log, "S");
            EXPECT_EQ(keys, c.keys);
            EXPECT_EQ(log.lines, c.logged);
        }
    }
}

// ---- tables ----

struct Groups {
    const char* name;
    SensorID::SensorID id;
    std::vector<uint32_t> metrics, lengths;
    std::vector<std::size_t> sizes;  // sizeof each row record
};

TEST(DirectSensorTables, GroupsAddUpToTheirRowsAndIdsAreUnique) {
    const Groups all[] = {
        {"DRIXMutex", SensorID::DRIXMutex, {6}, {160}, {sizeof(DRIXMutexData)}},
        {"DRIXCondvar", SensorID::DRIXCondvar, {6}, {160}, {sizeof(DRIXCondvarData)}},
        {"DRIXRPCS",
         SensorID::DRIXRPCS,
         {19, 15},
         {240, 208},
         {sizeof(TCPSensorData), sizeof(VerbsSensorData)}},
        {"DRIXRPCSPeer", SensorID::DRIXRPCSPeer, {17}, {336}, {sizeof(peerData_t)}},
        {"DRIXWaiters", SensorID::DRIXWaiters, {11}, {184}, {sizeof(waitersData_t)}},
        {"DRIXBufMgr",
         SensorID::DRIXBufMgr,
         {22, 7},
         {256, 152},
         {sizeof(BufmgrData_t), sizeof(BufmgraccData_t)}},
        {"DRIXJZK",
         SensorID::DRIXJZK,
         {12, 12},
         {296, 296},
         {sizeof(DRIXJZKPdiskData_t), sizeof(DRIXJZKDAData_t)}},
    };
    for (const Groups& e : all) {
        SCOPED_TRACE(e.name);
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(e.name));
        ASSERT_NE(s, nullptr) << "not registered";
        EXPECT_EQ(s->getSensorID(), e.id);
        EXPECT_EQ(s->getPollPeriod(), 1000000u);
        ASSERT_EQ(s->getNumVirtualSensors(), e.metrics.size());
        const dataSet_t* sets = s->getMetricData();  // no channel: empty
        for (uint32_t g = 0; g < e.metrics.size(); ++g) {
            SCOPED_TRACE(g);
            ASSERT_EQ(s->getNumFields(g), e.metrics[g]);
            const auto* m = reinterpret_cast<const MetricsMetadata*>(s->getMetaData()[g].data);
            uint32_t length = 0;
            std::set<uint16_t> ids;
            for (uint32_t i = 0; i < e.metrics[g]; ++i) {
                length += ntohs(m[i].metricLen);
                EXPECT_TRUE(ids.insert(ntohs(m[i].metricID)).second) << m[i].metricName;
            }
            EXPECT_EQ(length, e.lengths[g]);
            EXPECT_EQ(e.sizes[g], e.lengths[g]);
            EXPECT_EQ(sets[g].setLength, e.lengths[g]);
            EXPECT_EQ(sets[g].numSets, 0u);
        }
    }
}

// ---- the reply checks every sensor shares ----

TEST(DirectSensorReplies, FailuresAreLoggedOnceAndRecoveryOnce) {
    struct Case {
        const char* why;
        std::string bad;
        const char* message;
    };
    const Case cases[] = {
        {"no reply", ReplyQueue::NO_REPLY,
         "Error: No results received from tallyq, no metrics to report."},
        {"error reply", "_response_ begin tallyq x\n_error_ e1\n_response_ end\n",
         "Error: Mtallyq error: e1."},
        {"an event, not a response", "_event_ ev _seq_ 1\n",
         "Error: No results received from tallyq, no metrics to report."},
        {"return code", "_response_ begin tallyq x\n_tallyq::r _rc_ 7\n_response_ end\n",
         "Error: Error from tallyq: 7, no metrics to report "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = make<SensorDRIXMutex>();
        m->query.add(c.bad);
        m->query.add(c.bad);
        m->query.add(reply({}));  // header only: a good, empty sample
        m->query.add(reply({}));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(m->sample()->numSets, 0u);
        EXPECT_EQ(*m->logged, (std::vector<std::string>{c.message, "Info: Resumed reporting."}));
    }
    // Without a channel every sample fails, logged once.
    std::unique_ptr<NodeTest::Probe<SensorDRIXWaiters>> lone(
        new NodeTest::Probe<SensorDRIXWaiters>());
    EXPECT_EQ(lone->getStatus(), -1);
    lone->getMetricData();
    EXPECT_EQ(lone->getMetricData()->numSets, 0u);
    EXPECT_EQ(lone->logged(),
              (std::vector<std::string>{"Error: Cannot connect to tallyq, no metrics to report."}));
}

// ---- mutex and condition variable ----

TEST(DirectSensorLocks, RecordsAreAcceptedByTheirOperation) {
    const std::string longName(40, 'n');
    const std::string cut(31, 'n');
    struct Case {
        const char* why;
        bool mutex;
        std::string record;
        std::string name;  // "" for no row
        const char* logged;
    };
    const Case cases[] = {
        {"acquire and more", true, "_mutex_ _nm_ m1 _op_ acquireX _cnt_ 3 _sec_ 0.5", "m1",
         nullptr},
        {"another operation", true, "_mutex_ _nm_ m1 _op_ release _cnt_ 3 _sec_ 0.5", "", nullptr},
        {"exactly wait", false, "_condvar_ _nm_ c1 _op_ wait _cnt_ 3 _sec_ 0.5", "c1", nullptr},
        {"wait and more", false, "_condvar_ _nm_ c1 _op_ waitX _cnt_ 3 _sec_ 0.5", "", nullptr},
        {"name cut to 31", true, "_mutex_ _nm_ " + longName + " _op_ acquire _cnt_ 3 _sec_ 0.5",
         cut, nullptr},
        {"no operation", true, "_mutex_ _nm_ m1 _cnt_ 3 _sec_ 0.5", "",
         "Warning: Could not read mutex \"_op_\" from tallyq response"},
        {"no name", false, "_condvar_ _op_ wait _cnt_ 3 _sec_ 0.5", "",
         "Warning: Could not read condvar \"_nm_\" from tallyq response"},
        {"no time", true, "_mutex_ _nm_ m1 _op_ acquire _cnt_ 3", "",
         "Error: Bad response received for DRIXMutex sensor, skipping."},
        {"no count", false, "_condvar_ _nm_ c1 _op_ wait _sec_ 1", "",
         "Error: Bad response received for DRIXCondvar sensor, skipping."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = c.mutex ? make<SensorDRIXMutex>() : make<SensorDRIXCondvar>();
        m->query.add(reply({c.record}));
        const std::vector<std::string> rows = m->rows();
        EXPECT_EQ(*m->logged,
                  c.logged ? std::vector<std::string>{c.logged} : std::vector<std::string>{});
        if (c.name.empty()) {
            EXPECT_TRUE(rows.empty());
            continue;
        }
        ASSERT_EQ(rows.size(), 1u);
        const char* col = c.mutex ? "drix_mutex_name" : "drix_condvar_name";
        EXPECT_EQ(field(rows[0], col), c.name);
        EXPECT_EQ(field(rows[0], c.mutex ? "drix_mutex_cnt_acquire" : "drix_condvar_cnt_wait"),
                  "3");
        EXPECT_EQ(field(rows[0], c.mutex ? "drix_mutex_tm_acquire" : "drix_condvar_tm_wait"),
                  "500000");
        char name[32] = {};
        std::memcpy(name, c.name.data(), c.name.size());
        const std::string key = field(rows[0], "metric_key");
        EXPECT_EQ(key.substr(key.find('/') + 1),
                  std::to_string(FNV1AHash32(name, 32)) + (c.mutex ? "/79/0" : "/80/0"));
    }
}

// ---- waiters ----

TEST(DirectSensorWaiters, CumulativeCountsByThresholdAndKind) {
    auto m = make<SensorDRIXWaiters>();
    m->query.add(reply({
        // 45 s, network I/O only although the details name local I/O; type 7
        // counts in no type column.
        "_wti_ _wtr_ 'RPC wait for reply' _wtar_ 'for I/O completion' _wot_ 7 _wts_ 45 _wtns_ 0",
        // Exactly 0.5 s, local I/O, a mutex.
        "_wti_ _wtr_ 'on lock' _wtar_ 'for I/O completion' _wot_ 1 _wts_ 0 _wtns_ 500000000",
        // Skipped: no details, then no reason.
        "_wti_ _wtr_ x _wot_ 0 _wts_ 99",
        "_wti_ _wtar_ x _wot_ 0 _wts_ 99",
    }));
    const std::vector<std::string> rows = m->rows();
    EXPECT_EQ(*m->logged, (std::vector<std::string>{
                              "Info: Input error, waitReasonDetails is null, skipping entry",
                              "Info: Input error, waitReason is null, skipping record entry"}));
    ASSERT_EQ(rows.size(), 7u);
    // label, all, local, network, thmutex for each row
    const char* want[7][5] = {
        {"all", "2", "1", "1", "1"},   {"0.1s", "2", "1", "1", "1"}, {"0.2s", "2", "1", "1", "1"},
        {"0.5s", "2", "1", "1", "1"},  {"1.0s", "1", "0", "1", "0"}, {"30.0s", "1", "0", "1", "0"},
        {"60.0s", "0", "0", "0", "0"},
    };
    for (int r = 0; r < 7; ++r) {
        SCOPED_TRACE(rows[r]);
        EXPECT_EQ(field(rows[r], "waiters_time_threshold"), want[r][0]);
        EXPECT_EQ(field(rows[r], "drix_wt_count_all"), want[r][1]);
        EXPECT_EQ(field(rows[r], "drix_wt_count_local_io"), want[r][2]);
        EXPECT_EQ(field(rows[r], "drix_wt_count_network_io"), want[r][3]);
        EXPECT_EQ(field(rows[r], "drix_wt_count_thmutex"), want[r][4]);
        EXPECT_EQ(field(rows[r], "drix_wt_count_thcond"), "0");
        EXPECT_EQ(field(rows[r], "drix_wt_count_delay"), "0");
        EXPECT_EQ(field(rows[r], "drix_wt_count_syscall"), "0");
    }
    const std::string key = field(rows[0], "metric_key");
    EXPECT_EQ(key.substr(key.find('/')), "/2229309388/64/0");

    // A good reply without waiters still gives the seven rows.
    m->query.add(reply({}));
    EXPECT_EQ(m->sample()->numSets, 7u);
}

// ---- RPC totals ----

std::string rpcObject(
    const std::string& name,
    const std::string& stats = "_av_ 0.0000015 _min_ 0.000001 _max_ 0.002 _cnt_ 9") {
    return "_rpcObj_ _obj_ " + name + "\n_stats_ " + stats;
}

TEST(DirectSensorRPCS, RowsOnlyWhenEveryObjectWasRead) {
    const std::vector<std::string> tcp = {"AG_STAT_CHANNEL_WAIT", "AG_STAT_SEND_TIME_TCP",
                                          "AG_STAT_RECEIVE_TIME_TCP", "AG_STAT_RPC_LATENCY_TCP"};
    const std::vector<std::string> verbs = {"AG_STAT_SEND_TIME_VERBS", "AG_STAT_RPC_LATENCY_VERBS",
                                            "AG_STAT_RPC_LATENCY_MIXED"};
    std::vector<std::string> seven;
    for (const auto& n : tcp) seven.push_back(rpcObject(n));
    for (const auto& n : verbs) seven.push_back(rpcObject(n));

    struct Case {
        const char* why;
        std::vector<std::string> records;
        uint32_t tcpRows, verbsRows;
    };
    std::vector<std::string> twice = seven;  // TCP latency twice: a TCP count of 5
    twice.insert(twice.begin() + 4, rpcObject("AG_STAT_RPC_LATENCY_TCP"));
    std::vector<std::string> noWait(seven.begin() + 1, seven.end());
    std::vector<std::string> badMin = seven;
    badMin[5] = rpcObject("AG_STAT_RPC_LATENCY_VERBS", "_av_ 0.1 _max_ 0.2 _cnt_ 1");
    std::vector<std::string> late = seven;
    late.insert(late.begin(), rpcObject("AG_STAT_UNLISTED"));  // the mixed one is now ninth
    const Case cases[] = {
        {"all seven", seven, 1, 1},
        {"an object twice (and the mixed one past the eighth record)", twice, 0, 0},
        {"no channel wait", noWait, 0, 1},
        {"a failed _min_", badMin, 0, 0},
        {"an object past the eighth record", late, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = make<SensorDRIXRPCS>();
        m->query.add(reply(c.records));
        const dataSet_t* sets = m->sample();
        EXPECT_EQ(sets[0].numSets, c.tcpRows);
        EXPECT_EQ(sets[1].numSets, c.verbsRows);
        const std::vector<std::string> rows = dumpRows(*m->sensor, sets);
        if (c.verbsRows == 1) {
            const std::string& v = rows.back();
            EXPECT_EQ(field(v, "drix_rpcs_lat_mix_av"), "2");
            EXPECT_EQ(field(v, "drix_rpcs_lat_mix_min"), "1");
            EXPECT_EQ(field(v, "drix_rpcs_lat_mix_max"), "2000");
            EXPECT_EQ(field(v, "drix_rpcs_lat_mix_cnt"), "9");
            EXPECT_EQ(field(v, "sensor"), "DRIXRPCS");
        }
        EXPECT_TRUE(m->logged->empty());
    }
}

// ---- RPC per peer ----

TEST(DirectSensorRPCSPeer, PeersAndTheirObjects) {
    const std::string tcp = rpcObject("AG_STAT_RPC_LATENCY_TCP");
    const std::string verbs = rpcObject("AG_STAT_RPC_LATENCY_VERBS");
    const std::string mixed = rpcObject("AG_STAT_RPC_LATENCY_MIXED");
    struct Case {
        const char* why;
        std::string text;
        std::vector<std::string> clusterPeer;  // "cluster peer" per row
        std::vector<std::string> logged;
    };
    const std::string e = "Error: ";
    const Case cases[] = {
        {"a fourth object is the next peer",
         "_response_ begin tallyq r\n_tallyq::p _rc_ 0 _cl_ c1 _rnn_ p1\n" + tcp + "\n" + verbs +
             "\n" + mixed + "\n" + tcp + "\n_response_ end\n",
         {"c1 p1", "unknown_cluster "},
         {e + "Could not extract peer name using _nn_ in sensor DRIXRPCSPeer"}},
        {"an unknown object ends the walk",
         "_response_ begin tallyq r\n_tallyq::p _rc_ 0 _cl_ c1 _nn_ p1\n" + tcp +
             "\n_rpcObj_ _obj_ AG_STAT_ODD\n_tallyq::p _cl_ c1 _nn_ p2\n_response_ end\n",
         {"c1 p1"},
         {e + "Unknown record 'AG_STAT_ODD' in tallyq output in sensor DRIXRPCSPeer"}},
        {"the same peer twice",
         "_response_ begin tallyq r\n_tallyq::p _rc_ 0 _cl_ c1 _rnn_ p1 _nn_ old\n"
         "_tallyq::p _cl_ c1 _rnn_ p1\n_response_ end\n",
         {"c1 p1", "c1 p1"},
         {e + "Hash collision in sensor DRIXRPCSPeer while computing metric key for: p1 (records "
              "collided: 1, most steps: 1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = make<SensorDRIXRPCSPeer>();
        m->query.add(c.text);
        const std::vector<std::string> rows = m->rows();
        EXPECT_EQ(*m->logged, c.logged);
        ASSERT_EQ(rows.size(), c.clusterPeer.size());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            EXPECT_EQ(field(rows[r], "drix_cluster_name") + " " + field(rows[r], "peer"),
                      c.clusterPeer[r]);
        }
        if (c.text.find(tcp) != std::string::npos) {
            EXPECT_EQ(field(rows[0], "drix_rpcs_peer_tcp_av"), "2");
        }
        if (rows.size() == 2 && rows[1].find("peer=p1") != std::string::npos) {
            auto cluster = [](const std::string& row) {
                const std::string k = field(row, "metric_key");
                const std::size_t a = k.find('/') + 1;
                return std::stoul(k.substr(a, k.find('/', a) - a));
            };
            EXPECT_EQ(cluster(rows[1]), cluster(rows[0]) + 1);
        }
    }
}

TEST(DirectSensorRPCSPeer, TheRowArrayLivesWhileThePeerCountStays) {
    auto m = make<SensorDRIXRPCSPeer>();
    const std::string two =
        "_response_ begin tallyq r\n_tallyq::p _rc_ 0 _cl_ c _rnn_ a\n"
        "_tallyq::p _cl_ c _rnn_ b\n_response_ end\n";
    m->query.add(two);
    m->query.add(two);
    const char* first = m->sample()->data;
    EXPECT_EQ(m->sample()->data, first);
    EXPECT_EQ(m->sensor->shutdown(), 0);
}

// ---- buffer manager ----

std::string bufmgrReply(const std::string& skip, const std::string& pgAllocator) {
    const char* keys[] = {"_poolSizeK_",
                          "_primaryDescSizeK_",
                          "_maxPrefetchSizeK_",
                          "_maxHotListSizeK_",
                          "_nPGAllocator_",
                          "_mountCountTotal_",
                          "_nonStealableSizeK_",
                          "_curPrefetchSizeK_",
                          "_curHotListSizeK_",
                          "_nDataBufs_",
                          "_nBufAllocs_",
                          "_nBufSteals_",
                          "_nPreStealAttempts_",
                          "_nPreStealSuccess_",
                          "_nWaits_",
                          "_nConsecutiveShortages_",
                          "_nBufStealLooks_",
                          "_nBufStealRefRequeue_",
                          "_nBufStealRefIgnore_"};
    std::string line = "_tallyq::bufmgr _rc_ 0";
    int v = 100;
    for (const char* k : keys) {
        if (k == skip) continue;
        line += std::string(" ") + k + " " +
                (k == std::string("_nPGAllocator_") ? pgAllocator : std::to_string(v++));
    }
    return "_response_ begin tallyq bufmgr_s\n" + line + "\n_response_ end\n";
}

TEST(DirectSensorBufMgr, AMissingKeyDropsTheRowOnlyForThatSample) {
    auto m = make<SensorDRIXBufMgr>();
    m->query.add(bufmgrReply("_nWaits_", "5"));
    m->query.add(bufmgrReply("", "4294967301"));  // 2^32 + 5: the low 32 bits are kept
    const dataSet_t* sets = m->sample();
    EXPECT_EQ(sets[0].numSets, 0u);
    EXPECT_EQ(*m->logged, (std::vector<std::string>{
                              "Error: Bad response received for DRIXBufMgr sensor, skipping."}));
    sets = m->sample();
    ASSERT_EQ(sets[0].numSets, 1u);
    EXPECT_EQ(sets[1].numSets, 0u);
    EXPECT_EQ(sets[1].setLength, 152u);
    EXPECT_EQ(std::string(sets[0].data + offsetof(BufmgrData_t, nPGAllocator), 4),
              std::string("\0\0\0\5", 4));
    const std::vector<std::string> rows = dumpRows(*m->sensor, sets);
    EXPECT_EQ(field(rows[0], "drix_bufm_tot_poolSizeK"), "100");
    EXPECT_EQ(field(rows[0], "drix_bufm_cnt_activeFS"), "104");
    EXPECT_EQ(field(rows[0], "drix_bufm_cnt_bufStealRefIgnore"), "117");
    EXPECT_EQ(m->logged->size(), 1u);  // no failure or recovery message
}

// ---- JZK ----

class DirectSensorJZK : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(StubHarness::makeDirs(dir.path() + "/var/qorm/gen"));
        std::ofstream(dir.path() + "/var/qorm/gen/qorm.cfg") << "clusterName jzk.example\n";
        Platform::setRoot(dir.path());
        m = make<SensorDRIXJZK>();
    }
    void TearDown() override { Platform::setRoot(""); }

    static std::string disks(const char* rc = "0") {
        return std::string("_response_ begin tallyq pdisk_s\n") + "_tallyq::pd _rc_ " + rc +
               " _rg_ rg1 _p_ d1 _c_ 10 _ulc_ 16\n_tallyq::pd _rg_ rg1 _p_ d1 _c_ 20\n"
               "_response_ end\n";
    }
    static std::string arrays() {
        return "_response_ begin tallyq da_s\n_tallyq::da _rc_ 0 _rg_ rg1 _da_ d1 _pc_ 30\n"
               "_response_ end\n";
    }

    StubHarness::TempDir dir;
    std::unique_ptr<Made> m;
};

TEST_F(DirectSensorJZK, DisksThenArraysKeyedByClusterAndRecoveryGroup) {
    m->query.add(disks());
    m->query.add(arrays());
    const std::vector<std::string> rows = m->rows();
    EXPECT_EQ(m->query.requests, (std::vector<std::string>{"tallyq pdisk_s", "tallyq da_s"}));
    EXPECT_EQ(*m->logged, (std::vector<std::string>{
                              "Info: Using cluster name jzk.example",
                              "Error: Hash collision in sensor DRIXJZK while computing metric "
                              "key for: rg1 d1 (records collided: 1, most steps: 1)"}));
    ASSERT_EQ(rows.size(), 3u);
    char cluster[64] = "jzk.example", rg[64] = "rg1", name[64] = "d1";
    const uint32_t hash = FNV1AHashAppend32(FNV1AHash32(rg, 64), name, 64);
    const std::string node = std::to_string(FNV1AHash32(cluster, 64)) + "/";
    EXPECT_EQ(field(rows[0], "metric_key"), node + std::to_string(hash) + "/83/0");
    EXPECT_EQ(field(rows[1], "metric_key"), node + std::to_string(hash + 1) + "/83/0");
    EXPECT_EQ(field(rows[2], "metric_key"), node + std::to_string(hash) + "/83/0");
    EXPECT_EQ(field(rows[0], "drix_cluster_name"), "jzk.example");
    EXPECT_EQ(field(rows[0], "drix_jzk_pdisk_capacity"), "10");
    EXPECT_EQ(field(rows[0], "drix_jzk_pdisk_used_logical_capacity"), "16");
    EXPECT_EQ(field(rows[0], "drix_jzk_pdisk_state"), "0");
    EXPECT_EQ(field(rows[2], "sensor"), "DRIXJZKDA");
    EXPECT_EQ(field(rows[2], "drix_declustered_array_name"), "d1");
    EXPECT_EQ(field(rows[2], "drix_jzk_da_physical_capacity"), "30");
}

TEST_F(DirectSensorJZK, NodeFileErrorsAreLoggedOnceUntilItIsReadable) {
    const std::string file = dir.path() + "/var/qorm/gen/qorm.cfg";
    const struct {
        const char* content;  // null: no file
        std::string logged;
    } cases[] = {{nullptr, "Error: Can not read config file " + file},
                 {"other x\n", "Error: Can not find clusterName in config file " + file + "."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        std::remove(file.c_str());
        if (c.content != nullptr) std::ofstream(file) << c.content;
        m = make<SensorDRIXJZK>();
        for (int i = 0; i < 3; ++i) {
            m->query.add(disks());
            EXPECT_EQ(m->sample()[0].numSets, 0u);
        }
        EXPECT_EQ(*m->logged, std::vector<std::string>{c.logged});
        std::ofstream(file) << "clusterName jzk.example\n";
        m->query.add(disks());
        m->query.add(arrays());
        EXPECT_EQ(m->rows().size(), 3u);
    }
}

TEST_F(DirectSensorJZK, AFailedRequestEndsTheSampleAndTheNextAllocatesAnew) {
    struct Case {
        const char* why;
        std::vector<std::string> replies;
        std::vector<std::string> requests;
        std::vector<std::string> logged;
    };
    const std::string e = "Error: ";
    const Case cases[] = {
        {"a return code on the disks",
         {disks("3")},
         {"tallyq pdisk_s"},
         {e + "Error from tallyq pdisk_s: _rc_ 3, no metrics to report."}},
        {"an error reply",
         {"_response_ begin tallyq x\n_error_ e1\n_response_ end\n"},
         {"tallyq pdisk_s"},
         {e + "tallyq pdisk_s error: e1, no metrics to report.",
          e + "Error from tallyq pdisk_s: _rc_ 99, no metrics to report."}},
        {"no arrays",
         {disks(), ReplyQueue::NO_REPLY},
         {"tallyq pdisk_s", "tallyq da_s"},
         {e + "Error from tallyq da_s: _rc_ 99, no metrics to report.",
          e + "Hash collision in sensor DRIXJZK while computing metric key for: rg1 d1 (records "
              "collided: 1, most steps: 1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        m = make<SensorDRIXJZK>();
        m->query.add(disks());
        m->query.add(arrays());
        for (const std::string& r : c.replies) m->query.add(r);
        m->query.add(disks());
        m->query.add(arrays());
        EXPECT_EQ(m->rows().size(), 3u);
        m->query.requests.clear();
        m->logged->clear();
        const dataSet_t* sets = m->sample();
        EXPECT_EQ(sets[0].numSets + sets[1].numSets, 0u);
        EXPECT_EQ(m->query.requests, c.requests);
        EXPECT_EQ(*m->logged, c.logged);
        EXPECT_EQ(m->rows().size(), 3u);
        EXPECT_EQ(m->logged->back(), "Info: Resumed reporting.");
    }
}

}  // namespace
