// The ZSD disk sensor through its two seams (statistics replies, repository
// lines): its table, and golden rows of all three groups.
#include "SensorDRIXZSDDisk.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DirectSensorTestSupport.h"
#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

using DirectTest::field;
using Lines = std::vector<std::string>;

const std::string P = "peekreg:pkrq_zsd_info:a:b:c:d:";

// A reply of the given records; the first carries "_rc_ 0".
std::string reply(const Lines& records) {
    std::string text = "_response_ begin tallyq zsd_ds\n";
    for (std::size_t i = 0; i < records.size(); ++i)
        text += "_tallyq::zsd_ds " + std::string(i == 0 ? "_rc_ 0 " : "") + records[i] + "\n";
    return text + "_response_ end\n";
}

// The hash of texts, each over a zero-padded 64-byte field.
uint32_t hashOf(std::initializer_list<std::string> texts) {
    uint32_t h = 0;
    bool first = true;
    for (const std::string& t : texts) {
        char f[64] = {};
        t.copy(f, 63);
        h = first ? FNV1AHash32(f, 64) : FNV1AHashAppend32(h, f, 64);
        first = false;
    }
    return h;
}

struct Made {
    NodeTest::Probe<SensorDRIXZSDDisk>* sensor = new NodeTest::Probe<SensorDRIXZSDDisk>();
    std::unique_ptr<AbstractSensor> owner{sensor};
    DirectTest::ReplyQueue stats;
    Lines repository;
    int asked = 0;
    Made() {
        sensor->setQuery(&stats);
        sensor->getZSDInfo()->setQuery([this](const std::string&) {
            ++asked;
            return new Lines(repository);
        });
        EXPECT_EQ(sensor->init(), 0);
    }
    // The rows of one sample, without node name and key, and the metric
    // cluster id of each row in the same order.
    Lines sample(std::vector<uint32_t>* keys = nullptr) {
        Lines out;
        for (const std::string& row : DirectTest::dumpRows(*sensor, sensor->getMetricData())) {
            const std::string key = field(row, "metric_key");
            const std::size_t a = key.find('/') + 1;
            if (keys) keys->push_back(std::stoul(key.substr(a, key.find('/', a) - a)));
            EXPECT_EQ(key.substr(key.find('/', a)), "/7/0") << row;
            std::string kept;
            std::size_t from = 0;
            while (from < row.size()) {
                std::size_t to = row.find(' ', from + 1);
                if (to == std::string::npos) to = row.size();
                const std::string token = row.substr(from, to - from);
                if (token.rfind(" node=", 0) != 0 && token.rfind(" metric_key=", 0) != 0 &&
                    (token.find("wait") == std::string::npos ||
                     token.find("=0") == std::string::npos))
                    kept += token;
                from = to;
            }
            out.push_back(kept);
        }
        return out;
    }
};

TEST(SensorDRIXZSDDisk, TableOfThreeGroups) {
    std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor("DRIXZSDDisk"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getSensorID(), SensorID::DRIXZSDDisk);
    ASSERT_EQ(s->getNumVirtualSensors(), 3u);
    const struct Group {
        uint32_t fields, length;
        uint16_t firstId, lastId;
    } groups[] = {{20, 304, 13352, 13367}, {8, 208, 14220, 14223}, {9, 272, 14224, 14227}};
    for (uint32_t g = 0; g < 3; ++g) {
        SCOPED_TRACE(g);
        ASSERT_EQ(s->getNumFields(g), groups[g].fields);
        const dataSet_t& meta = s->getMetaData()[g];
        const auto* m = reinterpret_cast<const MetricsMetadata*>(meta.data);
        uint32_t length = 0;
        for (uint32_t i = 0; i < groups[g].fields; ++i) length += ntohs(m[i].metricLen);
        EXPECT_EQ(length, groups[g].length);
        EXPECT_EQ(ntohs(m[groups[g].fields - 16 + (g == 0 ? 0 : 12)].metricID), groups[g].firstId);
        EXPECT_EQ(ntohs(m[groups[g].fields - 1].metricID), groups[g].lastId);
    }
}

TEST(SensorDRIXZSDDisk, SumsPerFilesystemAndPool) {
    Made m;
    m.repository = {P + "zsd1:fs1:system\n", P + "zsd2:fs1:data\n", P + "zsd3:fs2:system\n"};
    m.stats.add(reply({"_d_ zsd1\n_r_ _ops_ 18446744073709551615 _b_ 4096\n_w_ _ops_ 1 _b_ 512",
                       "_d_ zsd2\n_r_ _ops_ 10 _b_ 100\n_w_ _ops_ 2 _b_ 1024",
                       "_d_ zsd3\n_r_ _ops_ 7 _b_ 70", "_d_ lost\n_r_ _ops_ 1000 _b_ 1000"}));
    std::vector<uint32_t> keys;
    const Lines rows = m.sample(&keys);
    EXPECT_EQ(rows,
              (Lines{
                  "g0 r0 sensor=DRIXZSDDisk drix_disk_name=zsd1 drix_zsdds_read_ops="
                  "18446744073709551615 drix_zsdds_bytes_read=4096 drix_zsdds_write_ops=1 "
                  "drix_zsdds_bytes_written=512",
                  "g0 r1 sensor=DRIXZSDDisk drix_disk_name=zsd2 drix_zsdds_read_ops=10 "
                  "drix_zsdds_bytes_read=100 drix_zsdds_write_ops=2 drix_zsdds_bytes_written=1024",
                  "g0 r2 sensor=DRIXZSDDisk drix_disk_name=zsd3 drix_zsdds_read_ops=7 "
                  "drix_zsdds_bytes_read=70 drix_zsdds_write_ops=0 drix_zsdds_bytes_written=0",
                  // Not in the name map: in group 1 only.
                  "g0 r3 sensor=DRIXZSDDisk drix_disk_name=lost drix_zsdds_read_ops=1000 "
                  "drix_zsdds_bytes_read=1000 drix_zsdds_write_ops=0 drix_zsdds_bytes_written=0",
                  // 2^64 - 1 + 10 wraps to 9.
                  "g1 r0 sensor=DRIXZSDFS drix_fs_name=fs1 drix_zsdfs_read_ops=9 "
                  "drix_zsdfs_bytes_read=4196 drix_zsdfs_write_ops=3 drix_zsdfs_bytes_written=1536",
                  "g1 r1 sensor=DRIXZSDFS drix_fs_name=fs2 drix_zsdfs_read_ops=7 "
                  "drix_zsdfs_bytes_read=70 drix_zsdfs_write_ops=0 drix_zsdfs_bytes_written=0",
                  // Pool, then filesystem order.
                  "g2 r0 sensor=DRIXZSDPool drix_fs_name=fs1 drix_diskpool_name=data "
                  "drix_zsdpool_read_ops=10 drix_zsdpool_bytes_read=100 drix_zsdpool_write_ops=2 "
                  "drix_zsdpool_bytes_written=1024",
                  "g2 r1 sensor=DRIXZSDPool drix_fs_name=fs1 drix_diskpool_name=system "
                  "drix_zsdpool_read_ops=18446744073709551615 drix_zsdpool_bytes_read=4096 "
                  "drix_zsdpool_write_ops=1 drix_zsdpool_bytes_written=512",
                  "g2 r2 sensor=DRIXZSDPool drix_fs_name=fs2 drix_diskpool_name=system "
                  "drix_zsdpool_read_ops=7 drix_zsdpool_bytes_read=70 drix_zsdpool_write_ops=0 "
                  "drix_zsdpool_bytes_written=0",
              }));
    // The pool's key hashes the pool before the filesystem; the two "system"
    // pools differ.
    EXPECT_EQ(keys, (std::vector<uint32_t>{hashOf({"zsd1"}), hashOf({"zsd2"}), hashOf({"zsd3"}),
                                           hashOf({"lost"}), hashOf({"fs1"}), hashOf({"fs2"}),
                                           hashOf({"data", "fs1"}), hashOf({"system", "fs1"}),
                                           hashOf({"system", "fs2"})}));
    EXPECT_EQ(*m.sensor->logged().rbegin(),
              "Warning: tallyq zsd_ds does not provide auto-reset/per-bucket fields (_*pb_) for "
              "min./max. queue time and wait time.");

    // Within the refresh period the next sample asks the repository nothing.
    m.stats.add(reply({"_d_ zsd2\n_r_ _ops_ 11"}));
    EXPECT_EQ(m.sample().size(), 3u);
    EXPECT_EQ(m.asked, 1);
}

TEST(SensorDRIXZSDDisk, KeysAreProbedAcrossTheGroups) {
    Made m;
    // The disk named like its filesystem takes the filesystem's hash first.
    m.repository = {P + "fs1:fs1:system\n"};
    m.stats.add(reply({"_d_ fs1", "_cl_ x", "_cl_ y"}));
    std::vector<uint32_t> keys;
    const Lines rows = m.sample(&keys);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(field(rows[1], "drix_disk_name"), "unknown");
    EXPECT_EQ(keys, (std::vector<uint32_t>{hashOf({"fs1"}), 0, 1, hashOf({"fs1"}) + 1,
                                           hashOf({"system", "fs1"})}));
    // One line for the three groups, naming the first record's group.
    const Lines expected = {
        "Info: Hash collision in sensor DRIXZSDDisk while computing metric key for: disc unknown "
        "(records collided: 2, most steps: 1)",
    };
    Lines collisions;
    for (const std::string& l : m.sensor->logged())
        if (l.find("collision") != std::string::npos) collisions.push_back(l);
    EXPECT_EQ(collisions, expected);
}

TEST(SensorDRIXZSDDisk, AFailedSampleOrShutdownLeavesAllGroupsEmpty) {
    Made m;
    m.repository = {P + "zsd1:fs1:system\n"};
    m.stats.add(reply({"_d_ zsd1"}));
    EXPECT_EQ(m.sample().size(), 3u);
    m.stats.add(DirectTest::ReplyQueue::NO_REPLY);
    const dataSet_t* sets = m.sensor->getMetricData();
    for (int g = 0; g < 3; ++g) EXPECT_EQ(sets[g].numSets, 0u) << g;
    EXPECT_EQ(sets[1].setLength, 208u);
    EXPECT_EQ(sets[2].setLength, 272u);
    EXPECT_EQ(m.sensor->shutdown(), 0);
    EXPECT_EQ(m.sensor->getZSDInfo(), nullptr);
}

}  // namespace
