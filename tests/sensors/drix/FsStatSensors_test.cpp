// The per-disk, per-filesystem and WQM statistics sensors, driven through
// their query seam: tables, keys, the read/write block and the sample rules.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <unordered_map>

#include "DirectSensorTestSupport.h"
#include "FNV1AHash.h"
#include "SensorDRIXDisk.h"
#include "SensorDRIXFilesystem.h"
#include "SensorDRIXFilesystemAPI.h"
#include "SensorDRIXPDDisk.h"
#include "SensorDRIXPoolIO.h"
#include "SensorDRIXWQM.h"
#include "SensorDRIXWQMFS.h"
#include "SensorDRIXWQMFSet.h"
#include "SensorFactory.h"

namespace {

using DirectTest::dumpRows;
using DirectTest::field;
using DirectTest::Made;
using DirectTest::make;
using DirectTest::ReplyQueue;

// Samples last as long as the next entry of `ticks` says (milliseconds).
std::vector<uint64_t> ticks;
uint64_t fakeClock() {
    if (ticks.empty()) return 0;
    const uint64_t t = ticks.front();
    ticks.erase(ticks.begin());
    return t;
}

template <class S>
std::unique_ptr<Made> makeTimed() {
    auto m = make<S>();
    static_cast<S*>(m->sensor.get())->setClock(fakeClock);
    return m;
}

// A reply of the given records; the first carries "_rc_ 0".
std::string reply(const std::vector<std::string>& records) {
    std::string text = "_response_ begin tallyq r\n";
    for (std::size_t i = 0; i < records.size(); ++i)
        text += "_tallyq::r " + std::string(i == 0 ? "_rc_ 0 " : "") + records[i] + "\n";
    return text + "_response_ end\n";
}

// The logged lines but the one-time per-bucket announcement.
// What the sensor logged, less the slow-sample warning: that one depends on
// the machine's load (and a sanitizer's cost), not on the reply.
std::vector<std::string> notices(const Made& m) {
    std::vector<std::string> out;
    for (const std::string& l : *m.logged)
        if (l.find("per-bucket fields") == std::string::npos &&
            l.find(" took more than ") == std::string::npos)
            out.push_back(l);
    return out;
}

std::string clusterID(const std::string& row) {
    const std::string key = field(row, "metric_key");
    const std::size_t a = key.find('/') + 1;
    return key.substr(a, key.find('/', a) - a);
}

// ---- tables ----

struct Expect {
    const char* name;
    SensorID::SensorID id;
    const char* request;
    uint32_t metrics, rowLength;
    std::unique_ptr<Made> (*maker)();
};

TEST(FsStatTables, LayoutIdentityAndRequestOfEachSensor) {
    const Expect all[] = {
        {"DRIXDisk", SensorID::DRIXDisk, "tallyq ds", 22, 432, make<SensorDRIXDisk>},
        {"DRIXPDDisk", SensorID::DRIXPDDisk, "tallyq pd_ds", 21, 312, make<SensorDRIXPDDisk>},
        {"DRIXFilesystem", SensorID::DRIXFilesystem, "tallyq fs", 22, 376,
         make<SensorDRIXFilesystem>},
        {"DRIXPoolIO", SensorID::DRIXPoolIO, "tallyq plios", 8, 320, make<SensorDRIXPoolIO>},
        {"DRIXFilesystemAPI", SensorID::DRIXFIS, "tallyq fis", 14, 288,
         make<SensorDRIXFilesystemAPI>},
        {"DRIXWQM", SensorID::DRIXWQM, "tallyq wqm", 141, 1208, make<SensorDRIXWQM>},
        {"DRIXWQMFS", SensorID::DRIXWQMFS, "tallyq wqm fs", 142, 1272, make<SensorDRIXWQMFS>},
        {"DRIXWQMFSET", SensorID::DRIXWQMFSET, "tallyq wqm fset", 143, 1336,
         make<SensorDRIXWQMFSet>},
    };
    for (const Expect& e : all) {
        SCOPED_TRACE(e.name);
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(e.name));
        ASSERT_NE(s, nullptr) << "not registered";
        EXPECT_EQ(s->getSensorID(), e.id);
        EXPECT_EQ(s->getPollPeriod(), 1000000u);
        ASSERT_EQ(s->getNumVirtualSensors(), 1u);
        ASSERT_EQ(s->getNumFields(0), e.metrics);
        const auto* m = reinterpret_cast<const MetricsMetadata*>(s->getMetaData()->data);
        uint32_t length = 0;
        std::set<uint16_t> ids;
        for (uint32_t i = 0; i < e.metrics; ++i) {
            length += ntohs(m[i].metricLen);
            EXPECT_TRUE(ids.insert(ntohs(m[i].metricID)).second) << m[i].metricName;
        }
        EXPECT_EQ(length, e.rowLength);
        EXPECT_EQ(s->getMetricData()->setLength, e.rowLength);  // no channel: no rows
        auto made = e.maker();
        made->sample();
        EXPECT_EQ(made->query.requests, std::vector<std::string>{e.request});
    }
}

struct Spot {
    const char* sensor;
    uint32_t row;
    const char* name;
    uint16_t id, type, semantic;
};

TEST(FsStatTables, RowsBuiltByRule) {
    const Spot spots[] = {
        {"DRIXDisk", 6, "drix_ds_read_ops", 13372, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"DRIXDisk", 21, "drix_ds_max_queue_wait_wr", 13387, DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"DRIXPDDisk", 20, "drix_pdds_max_queue_wait_wr", 13475, DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"DRIXFilesystem", 5, "drix_fs_disks", 13330, DT_UINT_64, SEMTYPE_QUANTITY},
        {"DRIXFilesystem", 6, "drix_fs_read_ops", 13333, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"DRIXFilesystemAPI", 13, "drix_fis_inodes_written", 13538, DT_UINT_32,
         SEMTYPE_TOTALCOUNTER},
        {"DRIXWQM", 3, "drix_wqm_bytes_read", 13620, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"DRIXWQM", 11, "drix_wqm_shortest_time", 13622, DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"DRIXWQM", 18, "drix_wqm_fset_expired", 13636, DT_UINT_32, SEMTYPE_TOTALCOUNTER},
        {"DRIXWQM", 140, "drix_wqm_write_filter", 13759, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"DRIXWQMFS", 22, "drix_wqm_fs_lookup_queued", 13840, DT_UINT_64, SEMTYPE_QUANTITY},
        {"DRIXWQMFS", 23, "drix_wqm_fs_lookup_inflight", 13841, DT_UINT_64, SEMTYPE_QUANTITY},
        {"DRIXWQMFSET", 142, "drix_wqm_fset_write_filter", 14159, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    };
    for (const Spot& p : spots) {
        SCOPED_TRACE(std::string(p.sensor) + " row " + std::to_string(p.row));
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(p.sensor));
        ASSERT_NE(s, nullptr);
        const MetricsMetadata& m =
            reinterpret_cast<const MetricsMetadata*>(s->getMetaData()->data)[p.row];
        EXPECT_STREQ(m.metricName, p.name);
        EXPECT_EQ(ntohs(m.metricID), p.id);
        EXPECT_EQ(ntohs(m.metricType), p.type);
        EXPECT_EQ(ntohs(m.metricSemantic), p.semantic);
    }
}

// ---- keys of the disk sensors ----

TEST(DiskKeys, ClusterFilesystemAndDiskNames) {
    struct Case {
        const char* why;
        std::vector<std::string> records;
        std::vector<std::string> keys;  // cluster/fs/disk/metricClusterID per row
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"all three names", {"_cl_ c1 _fs_ fs1 _d_ d1"}, {"c1/fs1/d1/1791030724"}, {}},
        {"same names again: probed",
         {"_cl_ c1 _fs_ fs1 _d_ d1", "_cl_ c1 _fs_ fs1 _d_ d1"},
         {"c1/fs1/d1/1791030724", "c1/fs1/d1/1791030725"},
         {"Error: Hash collision in sensor DRIXDisk while computing metric key for: c1 fs1 d1 "
          "(records collided: 1, most steps: 1)"}},
        // Appended to 0, not to the offset basis.
        {"disk alone", {"_d_ d2"}, {"unknown/unknown/d2/3997383146"}, {}},
        {"two-word cluster counts as absent",
         {"_cl_ a b _d_ d2"},
         {"unknown/unknown/d2/3997383146"},
         {}},
        {"no disk",
         {"_cl_ c1 _fs_ fs1 _d_ d1", "_cl_ c1"},
         {},
         {"Error: No disk name found in disk data",
          "Error: tallyq ds data check returned with error, invalid key or data, records will "
          "be ignored!"}},
        // A byte of 0x80 or above is checked as unsigned char.
        {"unprintable disk",
         {"_d_ d\xc3\xa9"},
         {},
         {"Error: Non-printable disk name found in disk data",
          "Error: tallyq ds data check returned with error, invalid key or data, records will "
          "be ignored!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = make<SensorDRIXDisk>();
        m->query.add(reply(c.records));
        std::vector<std::string> keys;
        for (const std::string& r : m->rows()) {
            keys.push_back(field(r, "drix_cluster_name") + "/" + field(r, "drix_fs_name") + "/" +
                           field(r, "drix_disk_name") + "/" + clusterID(r));
        }
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(notices(*m), c.logged);
    }
}

// Records whose key fields are equal: one line a sample for them all, with
// the first record's key strings and the farthest step; none for a sample
// without collisions.
TEST(DiskKeys, FiveThousandEqualKeysInOneSample) {
    const std::size_t n = 5000;
    const std::string tail = " (records collided: 4999, most steps: 4999)";
    const struct {
        std::unique_ptr<Made> (*maker)();
        const char* record;
        std::string distinct;  // a second record with another key
        std::string logged;
    } cases[] = {
        {make<SensorDRIXDisk>, "_cl_ c1 _fs_ fs1 _d_ d1", "_cl_ c1 _fs_ fs1 _d_ d2",
         "Error: Hash collision in sensor DRIXDisk while computing metric key for: c1 fs1 d1" +
             tail},
        // No names: all hash to 0, and the key text is two empty strings.
        {make<SensorDRIXFilesystem>, "_d_ 1", "_cl_ c1 _d_ 1",
         "Error: Hash collision in sensor DRIXFilesystem while computing metric key for:  " + tail},
        {make<SensorDRIXWQMFS>, "_fs_ fs1", "_fs_ fs2",
         "Error: Hash collision in sensor DRIXWQMFS while computing metric key for: fs1" + tail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        auto m = c.maker();
        for (int sample = 0; sample < 2; ++sample) {
            SCOPED_TRACE(sample);
            m->logged->clear();
            m->query.add(reply(std::vector<std::string>(n, c.record)));
            const std::vector<std::string> rows = m->rows();
            ASSERT_EQ(rows.size(), n);
            const uint32_t first = static_cast<uint32_t>(std::stoul(clusterID(rows[0])));
            for (std::size_t i = 1; i < n; i += 999)
                EXPECT_EQ(clusterID(rows[i]), std::to_string(first + i));
            EXPECT_EQ(notices(*m), std::vector<std::string>{c.logged});
        }
        m->logged->clear();
        m->query.add(reply({c.record, c.distinct}));
        EXPECT_EQ(m->rows().size(), 2u);
        EXPECT_EQ(notices(*m), std::vector<std::string>{});
    }
}

TEST(DiskKeys, PathsAreNumberedPerDiskNameInEachSample) {
    auto m = make<SensorDRIXPDDisk>();
    const std::string d1 = reply({"_d_ d1", "_d_ d1", "_d_ d1"});
    m->query.add(d1);
    m->query.add(d1);
    m->query.add(reply({"_d_ d1", "_d_ a#b"}));
    for (int sample = 0; sample < 2; ++sample) {
        const std::vector<std::string> rows = m->rows();
        ASSERT_EQ(rows.size(), 3u);
        const char* labels[] = {"path000", "path001", "path002"};
        const char* keys[] = {"1632494301", "994797684", "2907887535"};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(field(rows[i], "drix_dev_path"), labels[i]);
            EXPECT_EQ(clusterID(rows[i]), keys[i]);
        }
    }
    EXPECT_EQ(m->sample()->numSets, 0u) << "a '#' drops the sample";
    EXPECT_EQ(notices(*m), std::vector<std::string>{
                               "Error: tallyq pd_ds data check returned with error, invalid key "
                               "or data, records will be ignored!"});

    // Two names whose hashes collide keep their own path numbers, and path
    // numbers past 999 are cut to the 8-byte field.
    std::unordered_map<uint32_t, std::string> seen;
    std::string a, b;
    for (int i = 0; a.empty(); ++i) {
        char name[64] = {};
        snprintf(name, sizeof name, "n%d", i);
        auto at = seen.emplace(FNV1AHash32(name, sizeof name), name);
        if (!at.second) {
            a = at.first->second;
            b = name;
        }
    }
    std::vector<std::string> records = {"_d_ " + a, "_d_ " + b, "_d_ " + a};
    for (int i = 0; i < 999; ++i) records.push_back("_d_ " + a);
    m->query.add(reply(records));
    const std::vector<std::string> rows = m->rows();
    ASSERT_EQ(rows.size(), 1002u);
    EXPECT_EQ(field(rows[0], "drix_dev_path"), "path000");
    EXPECT_EQ(field(rows[1], "drix_dev_path"), "path000");
    EXPECT_EQ(field(rows[2], "drix_dev_path"), "path001");
    EXPECT_EQ(field(rows[1001], "drix_dev_path"), "path100");  // path number 1000
}

// ---- the read/write block ----

TEST(PerDiskBlock, PerBucketKeysWinFieldByField) {
    struct Case {
        const char* why;
        std::string parts;  // the record's read and write lines
        std::vector<std::pair<const char*, const char*>> fields;
    };
    const Case cases[] = {
        {"per-bucket, plain and missing",
         "_r_ _ops_ 3 _b_ 4096 _tw_ 1.5 _qt_ 0.25 _stwpb_ 0.001 _stw_ 9 _sqt_ 0.002 _ltw_ 0.5 "
         "_ltwpb_ 0.4\n_w_ _ops_ 5 _stw_ 0.003 _lqtpb_ 0.000004",
         {{"read_ops", "3"},
          {"bytes_read", "4096"},
          {"tot_disk_wait_rd", "1500000"},
          {"tot_queue_wait_rd", "250000"},
          {"min_disk_wait_rd", "1000"},
          {"min_queue_wait_rd", "2000"},
          {"max_disk_wait_rd", "400000"},
          {"max_queue_wait_rd", "0"},
          {"write_ops", "5"},
          {"min_disk_wait_wr", "3000"},
          {"max_queue_wait_wr", "4"},
          {"bytes_written", "0"}}},
        {"rounding half up",
         "_r_ _tw_ 0.0000005 _qt_ 0.0000004",
         {{"tot_disk_wait_rd", "1"}, {"tot_queue_wait_rd", "0"}}},
        // Present with one value: found, even though it is not a number.
        {"unreadable per-bucket value", "_r_ _stwpb_ x _stw_ 2", {{"min_disk_wait_rd", "0"}}},
        {"per-bucket key with two values falls back",
         "_r_ _stwpb_ 1 2 _stw_ 2",
         {{"min_disk_wait_rd", "2000000"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto disk = make<SensorDRIXDisk>();
        auto fs = make<SensorDRIXFilesystem>();
        disk->query.add(reply({"_d_ d1\n" + c.parts}));
        fs->query.add(reply({"_fs_ f1\n" + c.parts}));
        const std::vector<std::string> d = disk->rows(), f = fs->rows();
        ASSERT_EQ(d.size(), 1u);
        ASSERT_EQ(f.size(), 1u);
        for (const auto& kv : c.fields) {
            EXPECT_EQ(field(d[0], std::string("drix_ds_") + kv.first), kv.second) << kv.first;
            EXPECT_EQ(field(f[0], std::string("drix_fs_") + kv.first), kv.second) << kv.first;
        }
    }
}

TEST(PerDiskBlock, PerBucketMessageOncePerSensorObject) {
    const std::string plain = reply({"_d_ d1 _cl_ c _fs_ f\n_r_ _stw_ 1"});
    const std::string perBucket = reply({"_d_ d1 _cl_ c _fs_ f\n_r_ _stwpb_ 1"});
    auto disk = make<SensorDRIXDisk>();
    auto fs = make<SensorDRIXFilesystem>();
    for (Made* m : {disk.get(), fs.get()}) {
        m->query.add(plain);
        m->query.add(perBucket);
        m->sample();
        m->sample();
    }
    EXPECT_EQ(*disk->logged,
              std::vector<std::string>{"Warning: tallyq ds does not provide auto-reset/per-bucket "
                                       "fields (_*pb_) for min./max. queue time and wait time."});
    EXPECT_EQ(*fs->logged,
              std::vector<std::string>{"Warning: tallyq fs does not provide auto-reset/per-bucket "
                                       "fields (_*pb_) for min./max. queue time and wait time."});
    auto other = make<SensorDRIXPDDisk>();
    other->query.add(reply({"_d_ d1\n_r_ _stwpb_ 1"}));
    other->sample();
    EXPECT_EQ(*other->logged,
              std::vector<std::string>{"Info: tallyq pd_ds provides auto-reset/per-bucket fields "
                                       "(_*pb_) for min./max. queue time and wait time."});
}

// ---- the per-disk sample ----

TEST(PerDiskSample, FailuresAreLoggedOnceAndRecoveryOnce) {
    struct Case {
        const char* why;
        std::string bad;
        const char* message;
    };
    const Case cases[] = {
        {"no reply", ReplyQueue::NO_REPLY,
         "Error: No results received from tallyq ds, no metrics to report."},
        {"error reply", "_response_ begin tallyq x\n_error_ e1\n_response_ end\n",
         "Error: tallyq ds error: e1."},
        {"return code", "_response_ begin tallyq x\n_tallyq::r _rc_ 7\n_response_ end\n",
         "Error: Data conversion error from tallyq ds: rc=7, no metrics to report "},
        {"rejected record", reply({"_d_ d1", "_cl_ c1"}),
         "Error: tallyq ds data check returned with error, invalid key or data, records will "
         "be ignored!"},
    };
    const std::string good = reply({"_d_ d1\n_r_ _stw_ 1"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = make<SensorDRIXDisk>();
        m->query.add(good);
        m->query.add(c.bad);
        m->query.add(c.bad);
        m->query.add(good);
        EXPECT_EQ(m->sample()->numSets, 1u);
        m->logged->clear();
        EXPECT_EQ(m->sample()->numSets, 0u);
        EXPECT_EQ(m->sample()->numSets, 0u);
        EXPECT_EQ(m->sample()->numSets, 1u);
        std::vector<std::string> expected;
        if (std::string(c.why) == "rejected record")
            expected.push_back("Error: No disk name found in disk data");
        expected.push_back(c.message);
        expected.push_back("Info: Resumed reporting.");
        EXPECT_EQ(*m->logged, expected);
    }
}

TEST(PerDiskSample, SlowSamplesAreReportedAbove100ms) {
    struct Case {
        uint64_t start, end;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {1000, 1100, {}},
        {1000, 1101, {"Warning: getData in SensorDRIXDisk took more than 0.101000 seconds"}},
        // A clock going backwards is no slow sample.
        {5000, 1000, {}},
    };
    for (const Case& c : cases) {
        auto disk = makeTimed<SensorDRIXPDDisk>();
        disk->query.add(reply({"_d_ d1\n_r_ _stwpb_ 1"}));
        disk->sample();  // logs the per-bucket line
        disk->logged->clear();
        disk->query.add(reply({"_d_ d1\n_r_ _stwpb_ 1"}));
        ticks = {c.start, c.end};
        disk->sample();
        EXPECT_EQ(*disk->logged, c.logged) << c.end;
    }
}

// ---- filesystem, pool and filesystem-API rows ----

TEST(FsRows, KeysAndValuesOfEachRecord) {
    struct Case {
        const char* why;
        std::unique_ptr<Made> (*maker)();
        std::vector<std::string> records;
        std::vector<std::vector<std::pair<const char*, const char*>>> rows;
        std::vector<std::string> logged;
    };
    // FNV-1a of the 64-byte fields "c1" then "fs1", as the disk sensor's key
    // without its disk.
    char c1[64] = "c1", fs1[64] = "fs1";
    const std::string cfs = std::to_string(FNV1AHashAppend32(FNV1AHash32(c1, 64), fs1, 64));
    const std::string cfs20 = "/" + cfs + "/20/0", cfs6 = "/" + cfs + "/6/0";
    const Case cases[] = {
        {"filesystem without names",
         make<SensorDRIXFilesystem>,
         {"_d_ 4"},
         {{{"drix_cluster_name", ""}, {"drix_fs_name", ""}, {"drix_fs_disks", "4"}}},
         {}},
        {"two equal filesystems",
         make<SensorDRIXFilesystem>,
         {"_cl_ c1 _fs_ fs1", "_cl_ c1 _fs_ fs1"},
         {{{"drix_fs_name", "fs1"}}, {{"drix_fs_name", "fs1"}}},
         {"Error: Hash collision in sensor DRIXFilesystem while computing metric key for: c1 fs1 "
          "(records collided: 1, most steps: 1)"}},
        {"two pools of one filesystem",
         make<SensorDRIXPoolIO>,
         {"_cl_ c1 _fs_ fs1 _pl_ p1 _br_ 10 _bw_ 20", "_cl_ c1 _fs_ fs1 _pl_ p2"},
         {{{"drix_diskpool_name", "p1"},
           {"drix_pool_bytes_rd", "10"},
           {"drix_pool_bytes_wr", "20"}},
          {{"drix_diskpool_name", "p2"}, {"drix_pool_bytes_rd", "0"}}},
         {}},
        {"pool without a name",
         make<SensorDRIXPoolIO>,
         {"_cl_ c1 _fs_ fs1", "_cl_ c1 _fs_ fs1"},
         {{{"drix_diskpool_name", ""}}, {{"drix_diskpool_name", ""}}},
         {"Error: Hash collision in sensor DRIXPoolIO while computing metric key for: c1 fs1  "
          "(records collided: 1, most steps: 1)"}},
        {"filesystem API",
         make<SensorDRIXFilesystemAPI>,
         {"_cl_ c1 _fs_ fs1 _d_ 3 _br_ 5 _bw_ 6 _oc_ 7 _cc_ 8 _rdc_ 9 _wc_ 10 _dir_ 11"},
         {{{"drix_fis_disks", "3"},
           {"drix_fis_bytes_written", "6"},
           {"drix_fis_open_calls", "7"},
           {"drix_fis_readdir_calls", "11"},
           {"drix_fis_inodes_written", "0"}}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = c.maker();
        m->query.add(reply(c.records));
        const std::vector<std::string> rows = m->rows();
        ASSERT_EQ(rows.size(), c.rows.size());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (const auto& kv : c.rows[r]) EXPECT_EQ(field(rows[r], kv.first), kv.second);
        }
        EXPECT_EQ(notices(*m), c.logged);
    }
    // The same names key the filesystem and filesystem-API rows alike but for
    // the sensor identity; a filesystem record without names has key 0.
    auto fs = make<SensorDRIXFilesystem>();
    auto fis = make<SensorDRIXFilesystemAPI>();
    fs->query.add(reply({"_cl_ c1 _fs_ fs1", "_d_ 1"}));
    fis->query.add(reply({"_cl_ c1 _fs_ fs1"}));
    const std::vector<std::string> fsRows = fs->rows();
    const std::string fsKey = field(fsRows[0], "metric_key");
    EXPECT_EQ(fsKey.substr(fsKey.find('/')), cfs6);
    EXPECT_EQ(clusterID(fsRows[1]), "0");
    const std::string fisKey = field(fis->rows()[0], "metric_key");
    EXPECT_EQ(fisKey.substr(fisKey.find('/')), cfs20);
}

TEST(FsRows, RowsAreZeroedInEverySample) {
    auto m = make<SensorDRIXFilesystem>();
    m->query.add(reply({"_cl_ c1 _fs_ fs1 _d_ 9\n_r_ _ops_ 5", "_cl_ c2 _d_ 8"}));
    m->query.add(reply({"_fs_ fs3"}));
    m->query.add(reply({"_fs_ fs4"}));
    ASSERT_EQ(m->rows().size(), 2u);
    const dataSet_t* set = m->sample();
    ASSERT_EQ(set->numSets, 1u);
    const std::string row = dumpRows(*m->sensor, set)[0];
    EXPECT_EQ(field(row, "drix_cluster_name"), "");
    EXPECT_EQ(field(row, "drix_fs_disks"), "0");
    EXPECT_EQ(field(row, "drix_fs_read_ops"), "0");
    const char* rows = set->data;
    EXPECT_EQ(m->sample()->data, rows) << "the same count keeps the array";
}

// ---- WQM ----

TEST(WQMRows, BlockFieldsFromTheMainPart) {
    auto m = make<SensorDRIXWQM>();
    m->query.add(
        reply({"_br_ 11 _bw_ 12 _ws_ 0.0000005 _wl_ 2 _hdi_ 7 _nqm_ 9 "
               "_lookup_ 1 2 3 4 _getattr_ 1 2 3 4 5 6 _write_ 6 7 8 9 10"}));
    const std::vector<std::string> rows = m->rows();
    ASSERT_EQ(rows.size(), 1u);
    const std::pair<const char*, const char*> expect[] = {
        {"bytes_read", "11"},        {"bytes_written", "12"}, {"shortest_time", "1"},
        {"longest_time", "2000000"}, {"conn_broken", "7"},    {"fset_expired", "0"},
        {"num_queued_msgs", "9"},    {"lookup_queued", "0"},  {"lookup_filter", "0"},
        {"getattr_queued", "1"},     {"getattr_filter", "5"}, {"write_inflight", "7"},
        {"write_filter", "10"},      {"readdir_errors", "0"},
    };
    for (const auto& kv : expect)
        EXPECT_EQ(field(rows[0], std::string("drix_wqm_") + kv.first), kv.second) << kv.first;
    EXPECT_EQ(field(rows[0], "metric_key").substr(field(rows[0], "metric_key").find('/')),
              "/0/26/0");
}

TEST(WQMRows, OneRowForTheNodeWhateverTheRecordCount) {
    auto m = make<SensorDRIXWQM>();
    m->query.add(reply({"_br_ 1", "_br_ 2", "_br_ 3 _nqm_ 4"}));
    m->query.add(reply({"_br_ 5"}));
    const std::vector<std::string> rows = m->rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "drix_wqm_bytes_read"), "3");
    EXPECT_EQ(field(rows[0], "drix_wqm_num_queued_msgs"), "4");
    EXPECT_EQ(field(m->rows()[0], "drix_wqm_bytes_read"), "5");
}

// Counts the allocations of the per-filesystem rows.
class CountingWQMFS : public NodeTest::Probe<SensorDRIXWQMFS> {
  public:
    int allocations = 0;

  protected:
    void* allocateWQMMetricData(uint32_t n) override {
        ++allocations;
        return SensorDRIXWQMFS::allocateWQMMetricData(n);
    }
};

TEST(WQMRows, RowsAreReallocatedOnlyWhenTheCountChanges) {
    ReplyQueue query;
    CountingWQMFS sensor;
    sensor.setQuery(&query);
    ASSERT_EQ(sensor.init(), 0);
    const std::string two = reply({"_fs_ a", "_fs_ b"});
    for (const std::string& r : {two, two, reply({"_fs_ a"}), two}) query.add(r);
    const int expected[] = {1, 1, 2, 3};
    for (int allocations : expected) {
        sensor.getMetricData();
        EXPECT_EQ(sensor.allocations, allocations);
    }
    EXPECT_EQ(sensor.shutdown(), 0);
}

TEST(WQMRows, FilesystemAndFilesetKeys) {
    char fs1[64] = "fs1", set1[64] = "set1";
    const std::string fsHash = std::to_string(FNV1AHash32(fs1, 64));
    const std::string setHash = std::to_string(FNV1AHashAppend32(FNV1AHash32(fs1, 64), set1, 64));
    struct Case {
        const char* why;
        bool fileset;
        std::vector<std::string> records;
        std::vector<std::string> keys;  // fs/fileset/metricClusterID per row
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"filesystem", false, {"_fs_ fs1"}, {"fs1//" + fsHash}, {}},
        {"no filesystem", false, {"_br_ 1"}, {"unknown//0"}, {}},
        {"equal filesystems",
         false,
         {"_fs_ fs1", "_fs_ fs1"},
         {"fs1//" + fsHash, "fs1//" + std::to_string(std::stoul(fsHash) + 1)},
         {"Error: Hash collision in sensor DRIXWQMFS while computing metric key for: fs1 (records "
          "collided: 1, most steps: 1)"}},
        {"fileset", true, {"_fs_ fs1 _fset_ set1"}, {"fs1/set1/" + setHash}, {}},
        {"no fileset", true, {"_fs_ fs1"}, {"fs1/unknown/" + fsHash}, {}},
        {"equal filesets",
         true,
         {"_fs_ fs1 _fset_ set1", "_fs_ fs1 _fset_ set1"},
         {"fs1/set1/" + setHash, "fs1/set1/" + std::to_string(std::stoul(setHash) + 1)},
         {"Error: Hash collision in sensor DRIXWQMFSET while computing metric key for: fs1 "
          "set1 (records collided: 1, most steps: 1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        auto m = c.fileset ? make<SensorDRIXWQMFSet>() : make<SensorDRIXWQMFS>();
        m->query.add(reply(c.records));
        std::vector<std::string> keys;
        for (const std::string& r : m->rows())
            keys.push_back(field(r, "drix_fs_name") + "/" + field(r, "drix_fset_name") + "/" +
                           clusterID(r));
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(*m->logged, c.logged);
    }
}

TEST(WQMRows, SlowSamplesAreReportedOnEveryPath) {
    auto m = makeTimed<SensorDRIXWQMFSet>();
    m->query.add(ReplyQueue::NO_REPLY);
    m->query.add(reply({"_fs_ a"}));
    m->query.add(reply({"_fs_ a"}));
    ticks = {0, 101, 0, 101, 0, 100};
    for (int i = 0; i < 3; ++i) m->sample();
    EXPECT_EQ(*m->logged,
              (std::vector<std::string>{
                  "Error: No results received from tallyq, no metrics to report.",
                  "Warning: getData in SensorDRIXWQM* took more than 0.101000 seconds",
                  "Info: Resumed reporting.",
                  "Warning: getData in SensorDRIXWQM* took more than 0.101000 seconds"}));
}

}  // namespace
