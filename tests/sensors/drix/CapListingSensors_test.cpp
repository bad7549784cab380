// The pool, fileset, fileset quota and QoS sensors through a fake channel.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CapTestSupport.h"
#include "DirectSensorTestSupport.h"
#include "NodeSensorTestSupport.h"
#include "SensorDRIXFileset.h"
#include "SensorDRIXFilesetQuota.h"
#include "SensorDRIXPool.h"
#include "SensorDRIXQoS.h"
#include "SensorFactory.h"

namespace {

using namespace CapTest;
typedef std::vector<std::string> Log;
using DirectTest::field;

// The sensor's messages since the last call, without the cluster-name line.
template <class S>
Log taken(NodeTest::Probe<S>& s) {
    Log out;
    for (const std::string& l : s.logged()) {
        if (l.rfind("Info: Using cluster name", 0) != 0 && l.rfind("Debug: cfgLine", 0) != 0)
            out.push_back(l);
    }
    s.logged().clear();
    return out;
}

// A sensor on the fake channel with one local filesystem fs1 mounted.
template <class S>
struct Rig {
    explicit Rig(bool debug = false) : sensor(debug) {
        channel.answer("fsInfo", fsInfo({fsRow("local", "fs1", "c1", "fs1")}));
        channel.answer("iqstatus:c1:fs1", mounted());
        sensor.useChannel(&channel);
        sensor.init();
    }
    ~Rig() { sensor.shutdown(); }
    Log dump() {
        const dataSet_t* sets = sensor.getMetricData();
        return DirectTest::dumpRows(sensor, sets);
    }
    Root root;
    FakeChannel channel;
    NodeTest::Probe<S> sensor;
};

std::string poolLine(const std::string& name, const std::string& rest = " 30 40 ( 1%)") {
    return name + " 1 4 MB yes yes 10 20 ( 1%)" + rest + "\n";
}

TEST(SensorDRIXPool, PollsByDeviceNameAndKeepsOrder) {
    Rig<SensorDRIXPool> r;
    r.channel.answer("fsInfo", fsInfo({fsRow("local", "fs1", "c1", "fs1"),
                                       fsRow("remote", "rfs", "c2", "gfs")}));
    r.channel.answer("iqstatus:c2:gfs", mounted());
    r.channel.answer("iqlspool:fs1", {"Storage pools in file system at '/fs1':\n", "Name Id\n",
                                      poolLine("a"), poolLine("b", " 30"), poolLine("c")});
    r.channel.answer("iqlspool:rfs", {poolLine("d"), poolLine("e")});
    const Log rows = r.dump();
    // The remote filesystem: its remote form for the status, its device name for the pools.
    EXPECT_EQ(r.channel.count("iqstatus:c2:gfs"), 1);
    EXPECT_EQ(r.channel.count("iqlspool:rfs"), 1);
    ASSERT_EQ(rows.size(), 4u);  // b lacks free_metaKB: c takes its slot
    EXPECT_EQ(taken(r.sensor), Log{"Warning: Missing free_metaKB for filesystem fs1, pool b"});
    const char* order[] = {"fs1/a", "fs1/c", "rfs/d", "rfs/e"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(field(rows[i], "drix_fs_name") + "/" + field(rows[i], "drix_diskpool_name"),
                  order[i]);
    }
    EXPECT_EQ(field(rows[0], "metric_key"), std::to_string(fnv({{"c1", 64}})) + "/" +
                                                std::to_string(fnv({{"fs1", 64}, {"a", 64}})) +
                                                "/66/0");
    EXPECT_EQ(field(rows[0], "drix_pool_free_metaKB"), "40");

    // No pool rows, then every filesystem with the tool's error: each once.
    r.channel.answer("iqlspool:fs1", {"Name\n"});
    r.channel.answer("iqlspool:rfs", {});
    EXPECT_EQ(r.dump().size(), 0u);
    r.dump();
    EXPECT_EQ(taken(r.sensor),
              Log{"Error: No results received from iqlspool, no metrics to report."});
    r.channel.answer("iqlspool:fs1", {poolLine("a")});
    r.dump();
    r.channel.answer("iqlspool:fs1", {"Failed to access fs1\n"});
    r.channel.answer("iqlspool:rfs", {"Failed to access rfs\n"});
    r.dump();
    r.dump();
    EXPECT_EQ(taken(r.sensor), (Log{"Info: Resumed reporting.",
                                    "Warning: Error running iqlspool for filesystem fs1: Failed to "
                                    "access fs1 (Error: no filesystem does exist)",
                                    "Warning: Error running iqlspool for filesystem rfs: Failed to "
                                    "access rfs (Error: no filesystem does exist)",
                                    "Error: No data from iqlspool command, no metrics to report"}));
}

const char FSET_HDR[] =
    "iqlsfileset::HEADER:version:reserved:reserved:filesystemName:filesetName:id:"
    "isInodeSpaceOwner:maxInodes:allocInodes:freeInodes:\n";
std::string fsetRow(const std::string& name, const std::string& owner,
                    const std::string& alloc = "300", const std::string& max = "100") {
    return "iqlsfileset::0:1:::gfs:" + name + ":1:" + owner + ":" + max + ":" + alloc + ":200:\n";
}

TEST(SensorDRIXFileset, OwnersOnlyUnderTheLocalName) {
    Rig<SensorDRIXFileset> r;
    r.channel.answer("iqlsfileset:c1:fs1",
                     {FSET_HDR, fsetRow("root", "1"), fsetRow("a", "0"), fsetRow("b", " 1"),
                      fsetRow("c", "01"), fsetRow("d", "1", "4000abc", "x1"),
                      // Other column layout: no owner column at all.
                      "iqlsfileset:x:HEADER:filesetName:maxInodes:\n", "iqlsfileset:x:0:e:1:\n"});
    const Log rows = r.dump();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(field(rows[0], "drix_fs_name"), "fs1");  // not the owner's "gfs"
    EXPECT_EQ(field(rows[0], "drix_fset_maxInodes") + " " + field(rows[0], "drix_fset_freeInodes") +
                  " " + field(rows[0], "drix_fset_allocInodes"),
              "100 200 300");
    EXPECT_EQ(field(rows[1], "drix_fset_name"), "d");
    EXPECT_EQ(field(rows[1], "drix_fset_allocInodes"), "4000");
    EXPECT_EQ(field(rows[1], "drix_fset_maxInodes"), "0");

    // Found offline: f67440 and f216831 collide under fs1. A row without
    // allocInodes is dropped; the keys are the same at the next poll.
    r.channel.answer(
        "iqlsfileset:c1:fs1",
        {"iqlsfileset::HEADER:filesystemName:filesetName:isInodeSpaceOwner:maxInodes:freeInodes:\n",
         "iqlsfileset::0:gfs:lost:1:1:2:\n", FSET_HDR, fsetRow("f67440", "1"),
         fsetRow("f216831", "1")});
    taken(r.sensor);
    for (int poll = 0; poll < 2; ++poll) {
        const Log again = r.dump();
        ASSERT_EQ(again.size(), 2u);
        const uint32_t h = fnv({{"fs1", 64}, {"f67440", 64}});
        EXPECT_EQ(field(again[0], "metric_key"),
                  std::to_string(fnv({{"c1", 64}})) + "/" + std::to_string(h) + "/65/0");
        EXPECT_EQ(field(again[1], "metric_key"),
                  std::to_string(fnv({{"c1", 64}})) + "/" + std::to_string(h + 1) + "/65/0");
        EXPECT_EQ(taken(r.sensor),
                  (Log{"Warning: Missing allocInodes for filesystem fs1, fileset lost",
                       "Error: Hash collision in sensor DRIXFileset while computing metric key "
                       "for: fs1 f216831 (records collided: 1, most steps: 1)"}));
    }
}

const char QUOTA_HDR[] =
    "iqrepquota::HEADER:version:reserved:reserved:filesystemName:quotaType:id:name:blockUsage:"
    "blockQuota:blockLimit:blockInDoubt:filesUsage:filesQuota:filesLimit:filesInDoubt:\n";
std::string quotaRow(const std::string& fs, const std::string& name, const std::string& usage = "5",
                     const std::string& limit = "30") {
    return "iqrepquota::0:1:::" + fs + ":FILESET:0:" + name + ":" + usage + ":20:" + limit +
           ":1:7:8:9:2:\n";
}
Lines quotas(const std::string& fs, int n) {
    Lines out{QUOTA_HDR};
    for (int i = 0; i < n; ++i) out.push_back(quotaRow(fs, "q" + std::to_string(i)));
    return out;
}

TEST(SensorDRIXFilesetQuota, RowsBecomeRecords) {
    Rig<SensorDRIXFilesetQuota> r(true);
    // A remote filesystem is never polled, whatever the daemon's flag says.
    r.channel.answer("fsInfo",
                     fsInfo({fsRow("local", "fs1", "c1", "fs1"), fsRow("local", "fs2", "c1", "fs2"),
                             fsRow("remote", "rfs", "c2", "gfs")}));
    r.channel.answer("iqstatus:c1:fs2", mounted());
    r.channel.answer("iqstatus:c2:gfs", mounted());
    const std::string longName(70, 'n');
    r.channel.answer("quotaFSET:fs1",
                     {QUOTA_HDR, quotaRow("fs1", "a", "-5"), quotaRow("fs1", "b", "5", "abc"),
                      quotaRow("fs1", longName)});
    r.channel.answer("quotaFSET:fs2",
                     {QUOTA_HDR, quotaRow("fs2", "c"), quotaRow("fs2", "d"),
                      // Without its quota columns: zeros, not garbage.
                      "iqrepquota:x:HEADER:filesystemName:name:\n", "iqrepquota:x:0:fs2:e:\n",
                      "iqrepquota:y:HEADER:name:\n", "iqrepquota:y:0:f:\n"});
    const Log rows = r.dump();
    EXPECT_EQ(r.channel.count("iqstatus:c2:gfs"), 0);
    Log names;
    for (const std::string& row : rows) names.push_back(field(row, "drix_fset_name"));
    EXPECT_EQ(names, (Log{"a", longName.substr(0, 63), "c", "d", "e"}));
    EXPECT_EQ(field(rows[0], "drix_rq_blk_current"), "0");
    EXPECT_EQ(field(rows[1], "metric_key"), std::to_string(fnv({{"c1", 64}})) + "/" +
                                                std::to_string(fnv({{"fs1", 64}, {longName, 64}})) +
                                                "/47/0");
    EXPECT_EQ(field(rows[4], "drix_rq_blk_hard_limit") + field(rows[4], "drix_rq_file_in_doubt"),
              "00");
    EXPECT_EQ(field(rows[3], "drix_rq_file_in_doubt"), "2");
    EXPECT_EQ(taken(r.sensor),
              (Log{"Debug: Changed negative value to null.",
                   "Error: failed to convert abc to uint64_t for blockLimit, skipping record",
                   "Warning: Missing filesystem name"}));

    // 5 -> 4 -> 5 rows; then no rows: logged once, then silence.
    r.channel.answer("quotaFSET:fs2", {});
    for (const int n : {5, 4, 5}) {
        r.channel.answer("quotaFSET:fs1", quotas("fs1", n));
        EXPECT_EQ(r.dump().size(), static_cast<std::size_t>(n));
    }
    r.channel.answer("quotaFSET:fs1", {});
    EXPECT_EQ(r.dump().size(), 0u);
    r.dump();
    EXPECT_EQ(taken(r.sensor),
              Log{"Error: No results received from CapqRelay, no metrics to report."});
}

TEST(SensorDRIXFilesetQuota, ListingsOfThreeFilesystems) {
    const std::string longName = "p" + std::string(2100, 'x');
    const std::string longLine = quotaRow("fs1", longName);
    const struct {
        const char* why;
        Lines fs1, fs2;
        Log names;
        Lines fs3 = {QUOTA_HDR, quotaRow("fs3", "a")};
    } cases[] = {
        // fs3 answers "a" unless the row says otherwise.
        {"a failing filesystem between two good ones",
         {QUOTA_HDR, quotaRow("fs1", "b")},
         {"Quota is not enabled for file system fs2\n"},
         {"b", "a"}},
        {"the last two failing",
         {QUOTA_HDR, quotaRow("fs1", "b")},
         {"Quota is not enabled for file system fs2\n"},
         {"b"},
         {"Quota is not enabled for file system fs3\n"}},
        // The channel cuts a line into pieces of 2047 bytes.
        {"a line in pieces",
         {QUOTA_HDR, longLine.substr(0, 2047), longLine.substr(2047)},
         {},
         {longName.substr(0, 63), "a"}},
        // It would be reported as "sys".
        {"a NUL byte in a name",
         {QUOTA_HDR, quotaRow("fs1", std::string("sys\0tem", 7)), quotaRow("fs1", "b")},
         {},
         {"b", "a"}},
        // Negative comes first: 0, not a conversion failure.
        {"far below the signed range",
         {QUOTA_HDR, quotaRow("fs1", "n", "-99999999999999999999")},
         {},
         {"n", "a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Rig<SensorDRIXFilesetQuota> r;
        r.channel.answer("fsInfo", fsInfo({fsRow("local", "fs1", "c1", "fs1"),
                                           fsRow("local", "fs2", "c1", "fs2"),
                                           fsRow("local", "fs3", "c1", "fs3")}));
        for (const char* fs : {"fs2", "fs3"})
            r.channel.answer("iqstatus:c1:" + std::string(fs), mounted());
        r.channel.answer("quotaFSET:fs1", c.fs1);
        r.channel.answer("quotaFSET:fs2", c.fs2);
        r.channel.answer("quotaFSET:fs3", c.fs3);
        Log names;
        for (const std::string& row : r.dump()) {
            names.push_back(field(row, "drix_fset_name"));
            if (names.back() == "n") {
                EXPECT_EQ(field(row, "drix_rq_blk_current"), "0");
            }
        }
        EXPECT_EQ(names, c.names);
        const Log logged = taken(r.sensor);
        EXPECT_EQ(std::count(logged.begin(), logged.end(),
                             "Warning: Skipped 1 listing line(s) of filesystem fs1 holding a NUL "
                             "byte"),
                  std::string(c.why) == "a NUL byte in a name" ? 1 : 0);
    }
}

// A QoS sensor whose clock the test sets.
class ClockedQoS : public SensorDRIXQoS {
  public:
    int64_t clock = 1000000;
    int64_t offset() const { return randomOffset; }
    void setLastUpdate(int64_t t) { lastUpdate = t; }

  protected:
    int64_t now() const override { return clock; }
};

const char QOS_LIST[] = "throtl:fs:HEADER:version:qosLocalFileSystem:\n";
const char QOS_HDR[] =
    "throtl:stats:HEADER:version:pool:class:fset:iops:ioql:qsdl:et:MBs:maxIOPS:maxMBS:nNodes:\n";

struct QoSRig : Rig<ClockedQoS> {
    QoSRig() : Rig<ClockedQoS>(true) {
        StubHarness::makeDirs(root.path() + "/var/qorm/gen");
        std::ofstream(root.path() + "/var/qorm/gen/qormNodeData") << "n1:10.0.0.1:c1:\n";
        channel.answer("throtlfslist", {QOS_LIST, "throtl:fs:0:1:fs1:\n", "throtl:fs:0:1:fs1:\n"});
        channel.answer("iqlsqos:fs1:1", {"garbage without colons\n", QOS_HDR,
                                         "throtl:stats:0:1:system:other:fsA:1:2:3:4.75:5:6:7:8:\n",
                                         "throtl:stats:0:1:system:misc::1:2:3:4:5:6:7:8:\n"});
    }
    // What the sensor logged, without the debug lines about single records
    // and, unless `setup`, without the node data and list lines.
    Log messages(bool setup = true) {
        static const char* const perRecord[] = {"stats record", "allResults", "complete data set",
                                                "drixClusterName ="};
        static const char* const setupLines[] = {"qormNodeData", "PKR node data", "refreshing",
                                                 "manager of QoS"};
        Log out;
        for (const std::string& l : taken(sensor)) {
            bool drop = false;
            for (const char* p : perRecord) drop = drop || l.find(p) != std::string::npos;
            for (const char* p : setupLines)
                drop = drop || (!setup && l.find(p) != std::string::npos);
            if (!drop) out.push_back(l);
        }
        return out;
    }
};

TEST(SensorDRIXQoS, StatisticsPerQoSFilesystem) {
    QoSRig r;
    const Log rows = r.dump();
    // Listed twice, polled once; only "throtl:stats:" lines are parsed.
    EXPECT_EQ(r.channel.count("iqlsqos:fs1:1"), 1);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(field(rows[0], "drix_qos_et"), "4");
    EXPECT_EQ(field(rows[0], "drix_fs_name"), "fs1");
    EXPECT_EQ(field(rows[1], "drix_fset_name"), "");  // an empty fset is a value
    // Without the fset column the key covers "reserved".
    r.channel.answer(
        "iqlsqos:fs1:1",
        {"throtl:stats:HEADER:version:pool:class:iops:ioql:qsdl:et:MBs:maxIOPS:maxMBS:nNodes:\n",
         "throtl:stats:0:1:system:other:1:2:3:4:5:6:7:8:\n"});
    const Log reserved = r.dump();
    ASSERT_EQ(reserved.size(), 1u);
    EXPECT_EQ(field(reserved[0], "drix_fset_name"), "reserved");
    EXPECT_EQ(
        field(reserved[0], "metric_key"),
        std::to_string(fnv({{"c1", 64}})) + "/" +
            std::to_string(fnv({{"fs1", 64}, {"system", 64}, {"other", 64}, {"reserved", 64}})) +
            "/81/0");
    EXPECT_EQ(
        r.messages(),
        (Log{"Debug: " + r.root.path() + "/var/qorm/gen/qormNodeData: n1:10.0.0.1:c1:",
             "Info: Using PKR node data: n1:10.0.0.1:c1:",
             "Info: refreshing QoS filesystem list (random refresh offset " +
                 std::to_string(r.sensor.offset()) + " seconds) ...",
             "Info: this node is manager of QoS filesystem fs1, adding the filesystem to the QoS "
             "filesystems list"}));

    // The period in whole seconds; no refresh before 3600 s + the offset.
    r.sensor.setPollPeriod(10000000);
    r.sensor.setLastUpdate(r.sensor.clock);
    r.sensor.clock += 3600 + r.sensor.offset();
    r.dump();
    EXPECT_EQ(r.channel.count("iqlsqos:fs1:10"), 1);
    EXPECT_EQ(r.channel.count("throtlfslist"), 1);
    r.sensor.clock += 1;
    r.sensor.setPollPeriod(500000);
    r.dump();
    EXPECT_EQ(r.channel.count("iqlsqos:fs1:0"), 1);
    EXPECT_EQ(r.channel.count("throtlfslist"), 2);
}

TEST(SensorDRIXQoS, FailuresAreLoggedOnce) {
    const std::string NOT_MANAGER =
        "Debug: this node is not a manager of an QoS filesystem, therefore nothing to send";
    const struct {
        const char* what;
        Lines list;  // "throtlfslist" reply
        bool nullStats;
        Lines stats;
        Log first;
    } cases[] = {
        {"no QoS filesystem", {QOS_LIST}, false, {}, {NOT_MANAGER}},
        {"null stats",
         {QOS_LIST, "throtl:fs:0:1:fs1:\n"},
         true,
         {},
         {"Error: Error parsing  iqlsqos output: Null input received.", NOT_MANAGER}},
        {"no nNodes",
         {QOS_LIST, "throtl:fs:0:1:fs1:\n"},
         false,
         {"throtl:stats:HEADER:version:pool:class:fset:iops:ioql:qsdl:et:MBs:maxIOPS:maxMBS:\n",
          "throtl:stats:0:1:system:other:f:1:2:3:4:5:6:7:\n"},
         {"Warning: Missing nNodes value for filesystem fs1",
          "Error: No stats results received from iqlsqos, no metrics to report."}},
    };
    for (const auto& c : cases) {
        QoSRig r;
        r.channel.answer("throtlfslist", c.list);
        if (c.nullStats)
            r.channel.fail("iqlsqos:fs1:1");
        else
            r.channel.answer("iqlsqos:fs1:1", c.stats);
        r.dump();
        EXPECT_EQ(r.messages(false), c.first) << c.what;
        r.dump();
        Log second;
        for (const std::string& l : r.messages(false))
            if (l.find("Missing nNodes") == std::string::npos) second.push_back(l);
        EXPECT_EQ(second, Log{}) << c.what;
        // A new list while it is empty, else the one held.
        EXPECT_EQ(r.channel.count("throtlfslist"), c.list.size() == 1 ? 2 : 1) << c.what;
    }
    // The node data file must be readable, and is read until it gives a field.
    QoSRig r;
    const std::string data = r.root.path() + "/var/qorm/gen/qormNodeData";
    std::remove(data.c_str());
    r.dump();
    r.dump();
    EXPECT_EQ(r.messages(), Log{"Error: Can not read PKR node data file " + data});
    EXPECT_EQ(r.channel.count("throtlfslist"), 0);
    std::ofstream(data) << "";
    EXPECT_EQ(r.dump().size(), 2u);
    std::ofstream(data) << "n1:\n";
    r.dump();
    taken(r.sensor);
    std::remove(data.c_str());
    EXPECT_EQ(r.dump().size(), 2u);  // read once it gave a field
}

TEST(SensorDRIXQoS, ClusterNameErrorsAreLoggedOnceUntilTheFileIsReadable) {
    const struct {
        const char* content;  // null: no file
        const char* logged;
    } cases[] = {{nullptr, "Error: Can not read config file %s"},
                 {"other x\n", "Error: Can not find clusterName in config file %s."}};
    for (const auto& c : cases) {
        QoSRig r;
        const std::string file = r.root.path() + "/var/qorm/gen/qorm.cfg";
        std::remove(file.c_str());
        if (c.content != nullptr) std::ofstream(file) << c.content;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(r.dump().size(), 0u);
        char line[512];
        std::snprintf(line, sizeof line, c.logged, file.c_str());
        EXPECT_EQ(r.messages(), Log{line});
        std::ofstream(file) << "clusterName c1\n";
        EXPECT_EQ(r.dump().size(), 2u);
    }
}

TEST(CapListingSensors, TableInvariants) {
    const struct {
        const char* name;
        uint32_t length;
        std::size_t structSize;
        std::vector<uint16_t> ids;
    } tables[] = {
        {"DRIXPool",
         272,
         sizeof(SensorDRIXPool::DRIXPoolData),
         {13004, 101, 13005, 13006, 106, 14660, 14661, 14662, 14663}},
        {"DRIXFileset",
         264,
         sizeof(SensorDRIXFileset::DRIXFilesetData),
         {13004, 101, 13005, 13007, 106, 14641, 14643, 14642}},
        {"DRIXQoS",
         432,
         sizeof(SensorDRIXQoS::DRIXQoSData),
         {13004, 101, 13005, 13006, 13011, 13007, 106, 14850, 14851, 14852, 14853, 14854, 14855,
          14856, 14857}},
        {"DRIXFilesetQuota",
         304,
         sizeof(SensorDRIXFilesetQuota::DRIXFilesetQuotaData),
         {13004, 101, 13005, 13007, 106, 14620, 14621, 14622, 14623, 14625, 14626, 14627, 14628}},
    };
    for (const auto& t : tables) {
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(t.name));
        ASSERT_NE(s, nullptr) << t.name;
        EXPECT_EQ(s->getName(), t.name);
        const dataSet_t& meta = s->getMetaData()[0];
        const auto* m = reinterpret_cast<const MetricsMetadata*>(meta.data);
        uint32_t sum = 0;
        std::vector<uint16_t> ids;
        for (uint32_t i = 0; i < meta.numSets; ++i) {
            sum += ntohs(m[i].metricLen);
            ids.push_back(ntohs(m[i].metricID));
        }
        EXPECT_EQ(sum, t.length) << t.name;
        EXPECT_EQ(t.structSize, t.length) << t.name;
        EXPECT_EQ(ids, t.ids) << t.name;
        EXPECT_EQ(std::set<uint16_t>(ids.begin(), ids.end()).size(), ids.size()) << t.name;
    }
}

}  // namespace
