// The polling flow and the capacity sensor, through a fake channel, and once
// through the real channel and relay.
#include "SensorDRIXCapacity.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CapTestSupport.h"
#include "Configuration.h"
#include "DirectSensorTestSupport.h"
#include "LoggerBackend.h"
#include "NodeSensorTestSupport.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "SensorCtrl.h"
#include "SensorFactory.h"

namespace {

using namespace CapTest;
typedef NodeTest::Probe<SensorDRIXCapacity> Sensor;

const std::string FS1 = fsRow("local", "fs1", "c1", "fs1");
const std::string FS2 = fsRow("local", "fs2", "c1", "fs2");
const std::string REMOTE = fsRow("remote", "rfs", "c2", "gfs");

typedef std::vector<std::string> Log;

// What the sensor logged since the last call, without the one-time line
// naming the cluster.
Log taken(Sensor& s) {
    Log out;
    for (const std::string& l : s.logged()) {
        if (l.rfind("Info: Using cluster name", 0) != 0) out.push_back(l);
    }
    s.logged().clear();
    return out;
}

class CapFlowTest : public testing::Test {
  protected:
    void SetUp() override {
        sensor.useChannel(&channel);
        ASSERT_EQ(sensor.init(), 0);
        channel.answer("fsInfo", fsInfo({FS1}));
        channel.answer("iqstatus:c1:fs1", mounted());
        channel.answer("iqdf:c1:fs1", iqdf({disk("d1", "system", "100")}));
    }
    void TearDown() override {
        sensor.shutdown();
        AbstractSensor::monRemoteFs = true;
    }
    // Polls once; returns what the poll logged.
    std::vector<std::string> poll() {
        sets = sensor.getMetricData();
        return taken(sensor);
    }
    uint32_t records() const { return sets[0].numSets + sets[1].numSets + sets[2].numSets; }

    Root root;
    FakeChannel channel;
    Sensor sensor;
    const dataSet_t* sets = nullptr;
};

TEST_F(CapFlowTest, PeekregErrorsAreLoggedOncePerText) {
    const std::string NOFS = "Error: No local filesystems discovered, therefore nothing to send";
    channel.answer("fsInfo", {"peekreg: busy\n"});
    const std::string busy =
        "Error: getMetricData: peekreg failed: peekreg: busy (Error: no header "
        "defined so far, response must be an error string)";
    EXPECT_EQ(poll(), (Log{busy, NOFS}));
    EXPECT_EQ(poll(), Log{});
    EXPECT_EQ(poll(), Log{});
    channel.answer("fsInfo", {"peekreg: down\n"});
    EXPECT_EQ(poll(), (Log{"Error: getMetricData: peekreg failed: peekreg: down (Error: no header "
                           "defined so far, response must be an error string)"}));
    channel.answer("fsInfo", fsInfo({FS1}));
    EXPECT_EQ(poll(), (Log{"Info: getMetricData: peekreg succeeded", "Info: Resumed reporting."}));
    EXPECT_EQ(poll(), Log{});
    EXPECT_EQ(channel.count("fsInfo"), 5);  // refreshed at every failed poll, then kept
}

TEST_F(CapFlowTest, RemoteFilesystemsFollowTheFlag) {
    channel.answer("fsInfo", fsInfo({FS1, REMOTE}));
    channel.answer("iqstatus:c2:gfs", mounted());
    channel.answer("iqdf:c2:gfs", iqdf({disk("r1", "system", "1")}));
    AbstractSensor::monRemoteFs = false;
    poll();
    EXPECT_EQ(channel.count("iqstatus:c2:gfs"), 0);
    EXPECT_EQ(channel.count("iqdf:c1:fs1"), 1);
    EXPECT_EQ(sets[2].numSets, 1u);

    Sensor other;
    other.useChannel(&channel);
    other.init();
    AbstractSensor::monRemoteFs = true;
    other.getMetricData();
    EXPECT_EQ(channel.count("iqdf:c2:gfs"), 1);
    other.shutdown();
}

TEST_F(CapFlowTest, MountChangesAreLoggedOnce) {
    channel.answer("fsInfo", fsInfo({FS1, FS2}));
    channel.answer("iqstatus:c1:fs2", mounted());
    channel.answer("iqdf:c1:fs2", iqdf({disk("d2", "system", "1")}));
    channel.answer("iqstatus:c1:fs1", unmounted("down A"));
    const std::string a =
        "Info: Filesystem fs1 will not be polled, reason: down A (Error: no list of mounts)";
    EXPECT_EQ(poll(), Log{a});
    EXPECT_EQ(poll(), Log{});
    channel.answer("iqstatus:c1:fs1", unmounted("down B"));
    EXPECT_EQ(
        poll(),
        (Log{
            "Info: Filesystem fs1 will not be polled, reason: down B (Error: no list of mounts)"}));
    channel.answer("iqstatus:c1:fs1", mounted());
    EXPECT_EQ(poll(), Log{"Info: Filesystem fs1 : polling will resume"});
    EXPECT_EQ(channel.count("iqdf:c1:fs1"), 1);  // in that same poll
    EXPECT_EQ(poll(), Log{});
}

TEST_F(CapFlowTest, OutcomesAreEdgeTriggered) {
    const struct {
        const char* what;
        void (*set)(FakeChannel&);
        Log first;  // the first poll after a good one; a second logs nothing
    } cases[] = {
        // Unmounted filesystems count no failure: no records, not all-failed.
        {"all unmounted",
         [](FakeChannel& c) {
             c.answer("iqstatus:c1:fs1", {"x and mounted on:\n", "n1 INT\n"});
         },
         {"Info: Filesystem fs1 will not be polled, reason: File system fs1 is not mounted",
          "Error: No results received from iqdf, no metrics to report."}},
        // The null-reply rows: status, then listing, then the filesystem list.
        {"null iqstatus",
         [](FakeChannel& c) { c.fail("iqstatus:c1:fs1"); },
         {"Info: Filesystem fs1 will not be polled, reason: Received null input",
          "Error: No results received from iqdf, no metrics to report."}},
        {"null iqdf",
         [](FakeChannel& c) { c.fail("iqdf:c1:fs1"); },
         {"Warning: Error running iqdf for filesystem fs1: Null input received.",
          "Error: No data from iqdf, no metrics to report"}},
        {"empty iqdf",
         [](FakeChannel& c) { c.answer("iqdf:c1:fs1", {}); },
         {"Error: No results received from iqdf, no metrics to report."}},
    };
    for (const auto& c : cases) {
        FakeChannel ch;
        ch.answer("fsInfo", fsInfo({FS1}));
        ch.answer("iqstatus:c1:fs1", mounted());
        ch.answer("iqdf:c1:fs1", iqdf({disk("d1", "system", "100")}));
        Sensor s;
        s.useChannel(&ch);
        s.init();
        c.set(ch);
        s.getMetricData();
        EXPECT_EQ(taken(s), c.first) << c.what;
        const dataSet_t* d = s.getMetricData();
        EXPECT_EQ(taken(s), Log{}) << c.what;
        EXPECT_EQ(d[0].numSets + d[1].numSets + d[2].numSets, 0u) << c.what;
        ch.answer("iqstatus:c1:fs1", mounted());
        ch.answer("iqdf:c1:fs1", iqdf({disk("d1", "system", "100")}));
        s.getMetricData();
        Log resumed{"Info: Resumed reporting."};
        if (std::string(c.what).find("iqstatus") != std::string::npos ||
            std::string(c.what) == "all unmounted") {
            resumed.insert(resumed.begin(), "Info: Filesystem fs1 : polling will resume");
        }
        EXPECT_EQ(taken(s), resumed) << c.what;
        s.getMetricData();
        EXPECT_EQ(taken(s), Log{}) << c.what;
        s.shutdown();
    }
}

// A stop that begins during a request ends the poll without a word and
// without records, whatever the request brought back: nothing, or what a
// relay whose tool the stop ended made of it.
TEST_F(CapFlowTest, AStopCutsThePollWithoutAWord) {
    const struct {
        const char* request;
        bool null;
    } cases[] = {
        {"fsInfo", true},           {"fsInfo", false},     {"iqstatus:c1:fs1", true},
        {"iqstatus:c1:fs1", false}, {"iqdf:c1:fs1", true}, {"iqdf:c1:fs1", false},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.request) + (c.null ? ", nothing" : ", cut reply");
        FakeChannel ch;
        ch.answer("fsInfo", fsInfo({FS1}));
        ch.answer("iqstatus:c1:fs1", mounted());
        ch.answer("iqdf:c1:fs1", iqdf({disk("d1", "system", "100")}));
        if (c.null)
            ch.fail(c.request);
        else
            ch.answer(c.request, {"Terminated\n"});
        ch.stopAt = c.request;
        Sensor s;
        s.useChannel(&ch);
        s.init();
        const dataSet_t* d = s.getMetricData();
        EXPECT_EQ(taken(s), Log{}) << what;
        EXPECT_EQ(d[0].numSets + d[1].numSets + d[2].numSets, 0u) << what;
        s.shutdown();
    }
}

TEST_F(CapFlowTest, NoListNoClusterNoChannel) {
    const std::string NOFS = "Error: No local filesystems discovered, therefore nothing to send";
    // A null list reply is no error, but leaves nothing to poll; the next
    // poll asks again.
    channel.fail("fsInfo");
    EXPECT_EQ(poll(), Log{NOFS});
    poll();
    EXPECT_EQ(channel.count("fsInfo"), 2);

    {
        // Neither the node file nor a local row names the cluster.
        Root none("");
        FakeChannel ch;
        ch.answer("fsInfo", fsInfo({REMOTE}));
        Sensor s;
        s.useChannel(&ch);
        s.init();
        s.getMetricData();
        EXPECT_EQ(s.logged().back(), NOFS);
        EXPECT_EQ(ch.count("iqstatus:c2:gfs"), 0);
        s.shutdown();
    }
    {
        // No node file, but a local row names the cluster: the poll delivers,
        // so the next one has nothing to resume from.
        Root none("");
        FakeChannel ch;
        ch.answer("fsInfo", fsInfo({FS1}));
        ch.answer("iqstatus:c1:fs1", mounted());
        ch.answer("iqdf:c1:fs1", iqdf({disk("d1", "system", "100")}));
        Sensor s;
        s.useChannel(&ch);
        s.init();
        EXPECT_EQ(s.getMetricData()[0].numSets, 1u);
        taken(s);
        s.getMetricData();
        EXPECT_EQ(taken(s), Log{});
        s.shutdown();
    }
    Sensor unbound;  // init never ran: no channel
    const dataSet_t* d = unbound.getMetricData();
    unbound.getMetricData();
    EXPECT_EQ(unbound.logged(), Log{"Error: No capq command stub, no metrics to report."});
    EXPECT_EQ(d[0].numSets, 0u);
    EXPECT_EQ(unbound.getStatus(), -1);
}

// The rows as text, keys spelled out.
Log dump(const Sensor& s, const dataSet_t* d) { return DirectTest::dumpRows(s, d); }

std::string key(const std::string& a, std::size_t aw, const std::string& b = "", std::size_t bw = 0,
                const std::string& c = "", std::size_t cw = 0, uint32_t plus = 0) {
    // The key words of a record: cluster hash / key-string hash (+ plus) / 60 / 0.
    std::vector<std::pair<std::string, std::size_t>> f{{a, aw}};
    if (bw) f.push_back({b, bw});
    if (cw) f.push_back({c, cw});
    return std::to_string(fnv({{"c1", 64}})) + "/" + std::to_string(fnv(f) + plus) + "/60/0";
}

// The sensor on a ClosingChannel over the filesystems fs1 ... fsN, each
// mounted and listing one disk; the relay started at clock 0.
struct ClosingRig {
    ClosingRig(int filesystems, long period) {
        Lines rows;
        for (int i = 1; i <= filesystems; ++i) {
            const std::string fs = "fs" + std::to_string(i);
            rows.push_back(fsRow("local", fs, "c1", fs));
            ch.answer("iqstatus:c1:" + fs, mounted());
            ch.answer("iqdf:c1:" + fs, iqdf({disk("d" + fs, "system", "1")}));
        }
        ch.answer("fsInfo", fsInfo(rows));
        s.setPollPeriod(period * 1000000);
        s.useChannel(&ch);
        s.init();
    }
    ~ClosingRig() { s.shutdown(); }
    // Polls at clock; the filesystems reported, in row order.
    std::string poll(long clock) {
        ch.clock = clock;
        std::string reported;
        for (const std::string& row : dump(s, s.getMetricData()))
            if (row.compare(0, 3, "g2 ") == 0) reported += DirectTest::field(row, "drix_fs_name");
        return reported;
    }
    ClosingChannel ch;
    Sensor s;
};

TEST_F(CapFlowTest, AListingThatClosesTheChannelLeavesTheOthersTheirRelay) {
    const struct {
        long period;         // seconds
        long first;          // the clock at the first poll; the relay started at 0
        long outage;         // until then every listing ends the relay
        const char* others;  // per poll: x when fs2 and fs3 were both reported
        int fs1Listings;
    } rows[] = {
        // Asked first, fs1 ends the relay it was started with; the others
        // wait for the restart, then fs1 comes last and only on a relay that
        // could restart at once after it.
        {1, 0, 0, "---xxxxxxxxxxxxxxxxx", 5},
        {2, 0, 0, "--xxxxxxxxxxxxxxxxxx", 7},
        // Longer periods outlast the gap: fs1 is asked last at every poll.
        {3, 0, 0, "-xxxxxxxxxxxxxxxxxxx", 20},
        {60, 0, 0, "-xxxxxxxxxxxxxxxxxxx", 20},
        // A relay started long ago restarts at once for fs2 in that same poll.
        {1, 100, 0, "xxxxxxxxxxxxxxxxxxxx", 6},
        // After an outage of every listing until 6, fs1 alone still ends it: fs3
        // is back at once, fs2 after one turn of fs1 on a settled relay.
        {1, 0, 6, "-------------xxxxxxx", 4},
    };
    for (const auto& r : rows) {
        ClosingRig rig(3, r.period);
        for (const char* fs : {"fs2", "fs3"}) rig.ch.ends[std::string("iqdf:c1:") + fs] = r.outage;
        rig.ch.ends["iqdf:c1:fs1"] = ClosingChannel::FOREVER;
        std::string others;
        for (int poll = 0; poll < 20; ++poll) {
            const std::string reported = rig.poll(r.first + poll * r.period);
            EXPECT_EQ(reported.find("fs1"), std::string::npos) << r.period;
            others += reported == "fs2fs3" || reported == "fs3fs2" ? 'x' : '-';
        }
        EXPECT_EQ(others, r.others) << r.period << " " << r.first;
        EXPECT_EQ(rig.ch.count("iqdf:c1:fs1"), r.fs1Listings) << r.period << " " << r.first;
        EXPECT_EQ(rig.ch.refused, 0) << r.period << " " << r.first;
        for (const std::string& l : taken(rig.s))
            EXPECT_EQ(l.find("will not be polled"), std::string::npos) << l;
    }
}

// Every listing ends the relay until clock 20 (a relay that dies, or lists too
// much): at any period the poll asks once the relay may restart, and every
// filesystem is back within 5 s.
TEST_F(CapFlowTest, ClosersAreAskedAgainOnceTheRelayMayRestart) {
    const long RECOVERY = 20;
    for (const long period : {1L, 2L, 5L}) {
        for (const int filesystems : {1, 3}) {
            ClosingRig rig(filesystems, period);
            for (int i = 1; i <= filesystems; ++i)
                rig.ch.ends["iqdf:c1:fs" + std::to_string(i)] = RECOVERY;
            long back = -1;  // the clock of the first poll that reported them all
            for (long clock = 0; clock <= RECOVERY + 15; clock += period) {
                const bool all = rig.poll(clock).size() == 3u * filesystems;
                back = all && back < 0 ? clock : back;
                EXPECT_TRUE(all || back < 0) << period << " " << filesystems << " " << clock;
            }
            EXPECT_TRUE(back >= RECOVERY && back <= RECOVERY + 5 && rig.ch.refused == 0)
                << back << " " << rig.ch.refused << " " << period << " " << filesystems;
        }
    }
}

TEST_F(CapFlowTest, GoldenRowsOfTwoFilesystems) {
    channel.answer("fsInfo", fsInfo({FS1, FS2}));
    channel.answer("iqstatus:c1:fs2", mounted());
    channel.answer(
        "iqdf:c1:fs1",
        iqdf({disk("d1", "system", "100", "Yes", "No"), disk("d2", "system", "200")}, "5:6:7:8"));
    channel.answer("iqdf:c1:fs2", iqdf({disk("e1", "data", "50", "No", "Yes")}, "1:2:3:4"));
    poll();
    const std::string H = "drix_cluster_name=c1 sensor=";
    EXPECT_EQ(dump(sensor, sets),
              (Log{
                  "g0 r0 " + H +
                      "DRIXDiskCap drix_fs_name=fs1 drix_diskpool_name=system drix_disk_name=d1 "
                      "metric_key=" +
                      key("fs1", 64, "system", 64, "d1", 64) +
                      " drix_disk_disksize=100 drix_disk_free_fullkb=10 drix_disk_free_fragkb=3",
                  "g0 r1 " + H +
                      "DRIXDiskCap drix_fs_name=fs1 drix_diskpool_name=system drix_disk_name=d2 "
                      "metric_key=" +
                      key("fs1", 64, "system", 64, "d2", 64) +
                      " drix_disk_disksize=200 drix_disk_free_fullkb=10 drix_disk_free_fragkb=3",
                  "g0 r2 " + H +
                      "DRIXDiskCap drix_fs_name=fs2 drix_diskpool_name=data drix_disk_name=e1 "
                      "metric_key=" +
                      key("fs2", 64, "data", 64, "e1", 64) +
                      " drix_disk_disksize=50 drix_disk_free_fullkb=10 drix_disk_free_fragkb=3",
                  "g1 r0 " + H +
                      "DRIXPoolCap drix_fs_name=fs1 drix_diskpool_name=system "
                      "drix_disk_usage_name=dataAndMetadata metric_key=" +
                      key("fs1", 64, "system", 64, "dataAndMetadata", 24) +
                      " drix_pool_disksize=200 drix_pool_free_fullkb=10 drix_pool_free_fragkb=3",
                  "g1 r1 " + H +
                      "DRIXPoolCap drix_fs_name=fs1 drix_diskpool_name=system "
                      "drix_disk_usage_name=dataOnly metric_key=" +
                      key("fs1", 64, "system", 64, "dataOnly", 24) +
                      " drix_pool_disksize=0 drix_pool_free_fullkb=0 drix_pool_free_fragkb=0",
                  "g1 r2 " + H +
                      "DRIXPoolCap drix_fs_name=fs1 drix_diskpool_name=system "
                      "drix_disk_usage_name=descOnly metric_key=" +
                      key("fs1", 64, "system", 64, "descOnly", 24) +
                      " drix_pool_disksize=0 drix_pool_free_fullkb=0 drix_pool_free_fragkb=0",
                  "g1 r3 " + H +
                      "DRIXPoolCap drix_fs_name=fs1 drix_diskpool_name=system "
                      "drix_disk_usage_name=metadataOnly metric_key=" +
                      key("fs1", 64, "system", 64, "metadataOnly", 24) +
                      " drix_pool_disksize=100 drix_pool_free_fullkb=10 drix_pool_free_fragkb=3",
                  "g1 r4 " + H +
                      "DRIXPoolCap drix_fs_name=fs2 drix_diskpool_name=data "
                      "drix_disk_usage_name=dataAndMetadata metric_key=" +
                      key("fs2", 64, "data", 64, "dataAndMetadata", 24) +
                      " drix_pool_disksize=0 drix_pool_free_fullkb=0 drix_pool_free_fragkb=0",
                  "g1 r5 " + H +
                      "DRIXPoolCap drix_fs_name=fs2 drix_diskpool_name=data "
                      "drix_disk_usage_name=dataOnly metric_key=" +
                      key("fs2", 64, "data", 64, "dataOnly", 24) +
                      " drix_pool_disksize=50 drix_pool_free_fullkb=10 drix_pool_free_fragkb=3",
                  "g1 r6 " + H +
                      "DRIXPoolCap drix_fs_name=fs2 drix_diskpool_name=data "
                      "drix_disk_usage_name=descOnly metric_key=" +
                      key("fs2", 64, "data", 64, "descOnly", 24) +
                      " drix_pool_disksize=0 drix_pool_free_fullkb=0 drix_pool_free_fragkb=0",
                  "g1 r7 " + H +
                      "DRIXPoolCap drix_fs_name=fs2 drix_diskpool_name=data "
                      "drix_disk_usage_name=metadataOnly metric_key=" +
                      key("fs2", 64, "data", 64, "metadataOnly", 24) +
                      " drix_pool_disksize=0 drix_pool_free_fullkb=0 drix_pool_free_fragkb=0",
                  "g2 r0 " + H + "DRIXInodeCap drix_fs_name=fs1 metric_key=" + key("fs1", 64) +
                      " drix_fs_inode_used=5 drix_fs_inode_free=6 drix_fs_inode_alloc=7 "
                      "drix_fs_inode_max=8",
                  "g2 r1 " + H + "DRIXInodeCap drix_fs_name=fs2 metric_key=" + key("fs2", 64) +
                      " drix_fs_inode_used=1 drix_fs_inode_free=2 drix_fs_inode_alloc=3 "
                      "drix_fs_inode_max=4",
              }));
}

TEST_F(CapFlowTest, IncompleteRowsLeaveTheirSlots) {
    channel.answer("fsInfo", fsInfo({FS1, FS2}));
    channel.answer("iqstatus:c1:fs2", mounted());
    // fs1: a disk without pool (its own header), then a full one; no inodes.
    Lines fs1{"iqdf:zsd:HEADER:zsdName:diskSize:\n", "iqdf:zsd:0:lost:5:\n"};
    const Lines full = iqdf({disk("d2", "system", "200")}, "");
    fs1.insert(fs1.end(), full.begin(), full.end());
    channel.answer("iqdf:c1:fs1", fs1);
    channel.answer("iqdf:c1:fs2", iqdf({}, "1:2:3:4"));  // inodes only
    EXPECT_EQ(
        poll(),
        (Log{"Warning: Missing pool name for filesystem fs1",
             "Warning: Could not find \"used\" field in raw data for sensor DRIXInodeCap : fs1"}));
    const Log rows = dump(sensor, sets);
    ASSERT_EQ(rows.size(), 6u);  // one disk, four usage types, one inode record
    EXPECT_EQ(DirectTest::field(rows[0], "drix_disk_name"), "d2");
    EXPECT_EQ(rows[5].substr(0, 6), "g2 r0 ");
    EXPECT_EQ(DirectTest::field(rows[5], "drix_fs_name"), "fs2");

    // No disks anywhere: the disk and pool groups report none, not last poll's.
    channel.answer("iqdf:c1:fs1", iqdf({}, ""));
    poll();
    EXPECT_EQ(sets[0].numSets, 0u);
    EXPECT_EQ(sets[1].numSets, 0u);
    EXPECT_EQ(sets[2].numSets, 1u);
}

TEST_F(CapFlowTest, KeyCollisionsWithinOneFilesystem) {
    // Found offline: d66285 and d208421 collide under fs1/system; d97 under
    // fs1 and e956477 under fs2 have the same hash too.
    channel.answer("fsInfo", fsInfo({FS1, FS2}));
    channel.answer("iqstatus:c1:fs2", mounted());
    channel.answer("iqdf:c1:fs1",
                   iqdf({disk("d66285", "system", "1"), disk("d208421", "system", "2"),
                         disk("d97", "system", "3")}));
    channel.answer("iqdf:c1:fs2", iqdf({disk("e956477", "system", "4")}));
    EXPECT_EQ(poll(), (Log{"Error: Hash collision in sensor DRIXDiskCap while computing metric key "
                           "for: fs1 system d208421 (records collided: 1, most steps: 1)"}));
    const Log rows = dump(sensor, sets);
    const std::string h = key("fs1", 64, "system", 64, "d66285", 64);
    EXPECT_EQ(key("fs1", 64, "system", 64, "d208421", 64), h);
    EXPECT_EQ(DirectTest::field(rows[0], "metric_key"), h);
    EXPECT_EQ(DirectTest::field(rows[1], "metric_key"),
              key("fs1", 64, "system", 64, "d66285", 64, 1));
    EXPECT_EQ(DirectTest::field(rows[2], "metric_key"), DirectTest::field(rows[3], "metric_key"));
}

TEST_F(CapFlowTest, FiveThousandEqualDiskNamesInOneFilesystem) {
    const uint32_t n = 5000;
    channel.answer("iqdf:c1:fs1", iqdf(Lines(n, disk("dup", "system", "1"))));
    // One line a poll, however many records collided.
    for (int sample = 0; sample < 2; ++sample) {
        EXPECT_EQ(poll(), (Log{"Error: Hash collision in sensor DRIXDiskCap while computing metric "
                               "key for: fs1 system dup (records collided: 4999, most steps: "
                               "4999)"}));
    }
    ASSERT_EQ(sets[0].numSets, n);
    const Log rows = dump(sensor, sets);
    for (uint32_t i = 0; i < n; i += 999)
        EXPECT_EQ(DirectTest::field(rows[i], "metric_key"),
                  key("fs1", 64, "system", 64, "dup", 64, i));
}

TEST_F(CapFlowTest, DiskCountChangesReallocate) {
    for (const int n : {5, 4, 5}) {
        Lines disks;
        for (int i = 0; i < n; ++i)
            disks.push_back(disk("d" + std::to_string(i), "system", std::to_string(i)));
        channel.answer("iqdf:c1:fs1", iqdf(disks));
        poll();
        ASSERT_EQ(sets[0].numSets, static_cast<uint32_t>(n));
        const Log rows = dump(sensor, sets);
        EXPECT_EQ(DirectTest::field(rows[n - 1], "drix_disk_name"), "d" + std::to_string(n - 1));
    }
}

// The real channel and CapqRelay with the fake listing tools, at period 1:
// fs1's listing never ends (it passes the reply bound), fs2 and fs3 list
// 3,000 disks each; then all three pass it for 8 s, and are back within 5 s.
// The channel is the process's one CAPQStub.
TEST(CapacityRelay, AnOversizedListingLeavesTheOthersReported) {
    signal(SIGPIPE, SIG_IGN);
    Root root;
    const std::string canned = root.path() + "/canned";
    ASSERT_TRUE(StubHarness::makeDirs(canned));
    ASSERT_TRUE(StubHarness::installTools(root.path() + "/usr/vnx/qorm/bin", FAKECAPQTOOL,
                                          {"peekreg", "iqstatus", "iqdf"}));
    StubHarness::ScopedEnv env;
    env.set("VELMAR_PLATFORM_ROOT", root.path().c_str());
    env.set("FAKECAPQ_DIR", canned.c_str());
    auto write = [&](const std::string& key, const Lines& lines) {
        std::ofstream out(canned + "/" + key);
        for (const std::string& l : lines) out << l;
    };
    write("peekreg pkrq_fs_info all.out", fsInfo({FS1, FS2, fsRow("local", "fs3", "c1", "fs3")}));
    for (const std::string fs : {"fs1", "fs2", "fs3"}) {
        write("iqstatus -m c1:" + fs + ".out", mounted());
        Lines disks;
        for (int i = 0; i < 3000; ++i)
            disks.push_back(disk(fs + "d" + std::to_string(i), "system", "7"));
        write("iqdf c1:" + fs + " -Y.out", iqdf(disks));
    }
    write("iqdf c1:fs1 -Y.flood", {disk("endless", "system", "1")});

    const std::string logPath = root.path() + "/daemon.log";
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(LogNameSpace::esInfo, logPath.c_str(), true));
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
    cfg.getParamStore().putStr(Cfg::CAPQCMD, CAPQRELAY);
    SensorCtrl::config = &cfg;

    Sensor sensor;
    sensor.setPollPeriod(1000000);
    ASSERT_EQ(sensor.init(), 0);
    const auto t0 = std::chrono::steady_clock::now();
    std::chrono::milliseconds next(0);
    // Polls on the controller's grid (a poll that overran gives up its
    // slots); the filesystems reported in full, and when that poll started.
    auto poll = [&](std::chrono::steady_clock::time_point& started) {
        while (std::chrono::steady_clock::now() > t0 + next) next += std::chrono::seconds(1);
        std::this_thread::sleep_until(t0 + next);
        started = std::chrono::steady_clock::now();
        const dataSet_t* d = sensor.getMetricData();
        const auto* inodes =
            reinterpret_cast<const SensorDRIXCapacity::DRIXInodeCapData*>(d[2].data);
        std::set<std::string> reported;
        for (uint32_t i = 0; i < d[2].numSets; ++i) reported.insert(inodes[i].drixFSName);
        return d[0].numSets == 3000 * reported.size() ? reported : std::set<std::string>();
    };
    std::chrono::steady_clock::time_point started;
    std::string others;  // per poll: x when fs2 and fs3 were both reported in full
    for (int p = 0; p < 10; ++p)
        others += poll(started) == std::set<std::string>{"fs2", "fs3"} ? 'x' : '-';
    for (const std::string fs : {"fs2", "fs3"})
        write("iqdf c1:" + fs + " -Y.flood", {disk("endless", "system", "1")});
    for (int p = 0; p < 8; ++p) EXPECT_TRUE(poll(started).empty());
    for (const std::string fs : {"fs1", "fs2", "fs3"})
        ::unlink((canned + "/iqdf c1:" + fs + " -Y.flood").c_str());
    const auto recovered = std::chrono::steady_clock::now();
    for (int p = 0; p < 10 && poll(started).size() != 3; ++p) continue;
    EXPECT_LE(started - recovered, std::chrono::milliseconds(5000));
    sensor.shutdown();
    SensorCtrl::config = nullptr;
    LoggerBackend::destroy();

    // Once fs1's listing has failed, no two polls in a row miss the others.
    ASSERT_NE(others.find('x'), std::string::npos) << others;
    EXPECT_EQ(others.find("--", others.find('x')), std::string::npos) << others;
    for (const std::string& l : taken(sensor))
        EXPECT_EQ(l.find("will not be polled"), std::string::npos) << l;
    std::ifstream in(logPath);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Reply to iqdf:c1:fs1 exceeds 16777216 bytes"), std::string::npos) << log;
}

TEST(SensorDRIXCapacity, TableInvariants) {
    std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor("DRIXDiskCap"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getSensorID(), SensorID::DRIXDiskCap);
    ASSERT_EQ(s->getNumVirtualSensors(), 3u);
    const uint32_t lengths[] = {328, 288, 208};
    const uint32_t structs[] = {sizeof(SensorDRIXCapacity::DRIXDiskCapData),
                                sizeof(SensorDRIXCapacity::DRIXPoolCapData),
                                sizeof(SensorDRIXCapacity::DRIXInodeCapData)};
    const std::vector<std::vector<uint16_t>> ids = {
        {13004, 101, 13005, 13006, 13301, 106, 14634, 14635, 14636},
        {13004, 101, 13005, 13006, 13009, 106, 14631, 14632, 14633},
        {13004, 101, 13005, 106, 14637, 14638, 14639, 14640}};
    for (uint32_t g = 0; g < 3; ++g) {
        const dataSet_t& meta = s->getMetaData()[g];
        const auto* m = reinterpret_cast<const MetricsMetadata*>(meta.data);
        uint32_t sum = 0;
        std::vector<uint16_t> got;
        for (uint32_t i = 0; i < meta.numSets; ++i) {
            sum += ntohs(m[i].metricLen);
            got.push_back(ntohs(m[i].metricID));
        }
        EXPECT_EQ(sum, lengths[g]) << g;
        EXPECT_EQ(structs[g], lengths[g]) << g;
        EXPECT_EQ(got, ids[g]) << g;
    }
}

}  // namespace
