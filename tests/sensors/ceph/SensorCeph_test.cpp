#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "CephStub.h"
#include "CephTestSupport.h"
#include "FNV1AHash.h"
#include "SensorCephCluster.h"
#include "SensorCephPool.h"

namespace {

using namespace CephTest;

uint64_t be64At(const char* row, size_t offset) {
    uint64_t v;
    std::memcpy(&v, row + offset, sizeof v);
    return be64toh(v);
}

MetricKey keyAt(const char* row, size_t offset) {
    MetricKey k;
    std::memcpy(&k, row + offset, sizeof k);
    return k;
}

std::string textAt(const char* row, size_t offset, size_t len) {
    return std::string(row + offset, strnlen(row + offset, len));
}

uint32_t nameHash(const std::string& name) {
    char field[64] = {};
    std::strncpy(field, name.c_str(), 63);
    return FNV1AHash32(field, sizeof field);
}

// Cluster row: name 0, sensor 64, key 100, kb 112, kb_used 120, kb_avail 128,
// num_objects 136.
struct ClusterRow {
    std::string name, sensor;
    MetricKey key;
    uint64_t kb, used, avail, objects;
};

ClusterRow clusterRow(const dataSet_t* set, uint32_t i) {
    const char* r = set->data + i * set->setLength;
    return {textAt(r, 0, 64), textAt(r, 64, 36), keyAt(r, 100), be64At(r, 112),
            be64At(r, 120),   be64At(r, 128),    be64At(r, 136)};
}

class SensorCephTest : public Fixture {
  protected:
    void TearDown() override {
        CephStub::setReplyTimeoutMs(30000);
        Fixture::TearDown();
    }
};

TEST_F(SensorCephTest, TablesAndRowLengths) {
    SensorCephCluster cluster;
    SensorCephPool pool;
    EXPECT_EQ(cluster.getName(), "CephCluster");
    EXPECT_EQ(pool.getName(), "CephPool");
    EXPECT_EQ(cluster.getPollPeriod(), 1000000u);
    struct Expect {
        AbstractSensor& sensor;
        size_t fields;
        uint32_t rowLength;
    };
    for (const Expect& e : {Expect{cluster, 7, 144}, Expect{pool, 16, 272}}) {
        const auto* def = e.sensor.getMetricDataDef();
        ASSERT_EQ(def->size(), e.fields);
        uint32_t sum = 0;
        for (const FieldSpecifier& f : *def) sum += f.fieldLen;
        EXPECT_EQ(sum, e.rowLength);
        // The cluster name takes the place of the node name.
        EXPECT_EQ((*def)[0].fieldType, 14300);
        EXPECT_EQ((*def)[1].fieldType, 101);
    }
    EXPECT_EQ((*pool.getMetricDataDef())[2].fieldType, 14310);
    EXPECT_EQ((*pool.getMetricDataDef())[3].fieldType, 106);
    EXPECT_EQ((*pool.getMetricDataDef())[9].fieldType, 14316);
}

TEST_F(SensorCephTest, ClusterReplyOfTwoLinesGivesTwoRows) {
    SensorCephCluster sensor;
    ASSERT_EQ(sensor.init(), 0);
    EXPECT_EQ(sensor.getStatus(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->numSets, 2u);
    EXPECT_EQ(set->setLength, 144u);

    const ClusterRow r0 = clusterRow(set, 0), r1 = clusterRow(set, 1);
    EXPECT_EQ(r0.name, "c1");
    EXPECT_EQ(r0.sensor, "CephCluster");
    EXPECT_EQ(r0.kb, 100u);
    EXPECT_EQ(r0.used, 40u);
    EXPECT_EQ(r0.avail, 60u);
    EXPECT_EQ(r0.objects, 7u);
    EXPECT_EQ(r1.name, "c2");
    EXPECT_EQ(r1.kb, 200u);
    EXPECT_EQ(r1.objects, 14u);
    // The key is in host order: hash of the whole 64-byte name field.
    EXPECT_EQ(r0.key, (MetricKey{nameHash("c1"), 0, 40, 0}));
    EXPECT_EQ(r1.key, (MetricKey{nameHash("c2"), 0, 40, 0}));
    // On the wire kb = 100 is eight big-endian bytes.
    const unsigned char wire[8] = {0, 0, 0, 0, 0, 0, 0, 100};
    EXPECT_EQ(std::memcmp(set->data + 112, wire, 8), 0);
    EXPECT_EQ(sensor.shutdown(), 0);
}

TEST_F(SensorCephTest, ClusterItemsOrderRepeatsBlanksAndBadLines) {
    setReply("cluster",
             "num_objects:7,kb_avail:60,cluster_name:c1,kb_used:40,kb:100,kb:999\n"
             // A blank value is 0, not the number read before it.
             "cluster_name:c2,kb: 100,kb_used: ,kb_avail:12abc,num_objects:x\n"
             // Neither line is a cluster: no pair, or no name.
             "garbage\n"
             "kb:5,kb_used:1\n"
             // Missing numbers are 0.
             "cluster_name:c3\n");
    SensorCephCluster sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 3u);
    const ClusterRow r0 = clusterRow(set, 0), r1 = clusterRow(set, 1), r2 = clusterRow(set, 2);
    EXPECT_EQ(r0.name, "c1");
    EXPECT_EQ(r0.kb, 100u);
    EXPECT_EQ(r0.used, 40u);
    EXPECT_EQ(r0.avail, 60u);
    EXPECT_EQ(r0.objects, 7u);
    EXPECT_EQ(r1.name, "c2");
    EXPECT_EQ(r1.kb, 100u);
    EXPECT_EQ(r1.used, 0u);
    EXPECT_EQ(r1.avail, 12u);
    EXPECT_EQ(r1.objects, 0u);
    EXPECT_EQ(r2.name, "c3");
    EXPECT_EQ(r2.kb, 0u);
    sensor.shutdown();
    EXPECT_EQ(countOf(daemonLog(), "Skipping a ceph-cluster record without cluster_name"), 1u);
}

TEST_F(SensorCephTest, RowsFollowTheRecordCountAndAreRezeroed) {
    setReply("cluster", "cluster_name:a,kb:1\ncluster_name:b,kb:2\ncluster_name:c,kb:3\n");
    SensorCephCluster sensor;
    ASSERT_EQ(sensor.init(), 0);
    EXPECT_EQ(sensor.getMetricData()->numSets, 3u);

    setReply("cluster", "cluster_name:a,kb:1,num_objects:9\ncluster_name:b,kb:2\n");
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 2u);
    const char* rows = set->data;
    EXPECT_EQ(clusterRow(set, 0).objects, 9u);

    // Same count: the same rows, cleared of the previous sample.
    setReply("cluster", "cluster_name:" + std::string(70, 'n') + ",kb:5\ncluster_name:b\n");
    set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 2u);
    EXPECT_EQ(set->data, rows);
    EXPECT_EQ(clusterRow(set, 0).objects, 0u);
    EXPECT_EQ(clusterRow(set, 0).kb, 5u);
    EXPECT_EQ(clusterRow(set, 1).kb, 0u);
    // A long name keeps 63 characters and is hashed in that form.
    EXPECT_EQ(clusterRow(set, 0).name, std::string(63, 'n'));
    EXPECT_EQ(clusterRow(set, 0).key.nodeID, nameHash(std::string(63, 'n')));
    sensor.shutdown();
}

TEST_F(SensorCephTest, SensorDeletedWithoutShutdownFreesItsRows) {
    {
        SensorCephPool sensor;
        ASSERT_EQ(sensor.init(), 0);
        EXPECT_EQ(sensor.getMetricData()->numSets, 2u);
    }
    // The sensor could not release its channel reference; do it here. A
    // leak of the rows shows in the sanitizer build.
    CephStub::closeInstance();
    EXPECT_TRUE(waitForRelayLog(" eof"));
}

TEST_F(SensorCephTest, MissingResultsAreLoggedOncePerSensor) {
    setReply("cluster", "");
    setReply("pool", "\n\n");
    SensorCephCluster cluster;
    SensorCephPool pool;
    ASSERT_EQ(cluster.init(), 0);
    ASSERT_EQ(pool.init(), 0);
    EXPECT_EQ(cluster.getMetricData()->numSets, 0u);
    EXPECT_EQ(cluster.getMetricData()->numSets, 0u);
    setReply("cluster", "cluster_name:c1,kb:1\n");
    EXPECT_EQ(cluster.getMetricData()->numSets, 1u);
    setReply("cluster", "");
    EXPECT_EQ(cluster.getMetricData()->numSets, 0u);
    // The pool sensor keeps its own state: its first failure is logged.
    EXPECT_EQ(pool.getMetricData()->numSets, 0u);
    EXPECT_EQ(pool.getMetricData()->numSets, 0u);
    cluster.shutdown();
    pool.shutdown();
    const std::string log = daemonLog();
    EXPECT_EQ(
        countOf(log, "CephCluster: No results received from ceph-cluster, no metrics to report."),
        1u);
    EXPECT_EQ(
        countOf(log, "CephPool: No results received from ceph-cluster, no metrics to report."), 1u);
}

TEST_F(SensorCephTest, PoolRowCarriesAllTwelveNumbersAndBothHashes) {
    setReply("pool",
             "num_wr_kb:12,num_wr:11,num_rd_kb:10,num_rd:9,num_objects_degraded:8,"
             "num_objects_unfound:7,num_objects_missing_on_primary:6,num_object_copies:5,"
             "num_object_clones:4,num_objects:3,num_kb:2,num_bytes:1,pool_name:p1,cluster_name:c1\n"
             "cluster_name:c1,pool_name:p2,num_bytes:100\n"
             "cluster_name:c2,pool_name:p1,num_bytes:200\n"
             // A pool without its name is no pool.
             "cluster_name:c2,num_bytes:300\n");
    SensorCephPool sensor;
    ASSERT_EQ(sensor.init(), 0);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_EQ(set->numSets, 3u);
    EXPECT_EQ(set->setLength, 272u);
    const char* r0 = set->data;
    EXPECT_EQ(textAt(r0, 0, 64), "c1");
    EXPECT_EQ(textAt(r0, 64, 36), "CephPool");
    EXPECT_EQ(textAt(r0, 100, 64), "p1");
    for (uint64_t i = 0; i < 12; ++i) EXPECT_EQ(be64At(r0, 176 + 8 * i), i + 1) << i;

    const MetricKey k0 = keyAt(r0, 164);
    const MetricKey k1 = keyAt(set->data + 272, 164);
    const MetricKey k2 = keyAt(set->data + 544, 164);
    EXPECT_EQ(k0, (MetricKey{nameHash("c1"), nameHash("p1"), 41, 0}));
    // Two pools of one cluster share nodeID; one pool name in two clusters
    // shares metricClusterID.
    EXPECT_EQ(k1.nodeID, k0.nodeID);
    EXPECT_NE(k1.metricClusterID, k0.metricClusterID);
    EXPECT_NE(k2.nodeID, k0.nodeID);
    EXPECT_EQ(k2.metricClusterID, k0.metricClusterID);
    EXPECT_EQ(be64At(set->data + 544, 176), 200u);
    sensor.shutdown();
}

TEST_F(SensorCephTest, BothSensorsShareOneRelay) {
    SensorCephCluster cluster;
    SensorCephPool pool;
    ASSERT_EQ(cluster.init(), 0);
    ASSERT_EQ(pool.init(), 0);
    EXPECT_EQ(cluster.getMetricData()->numSets, 2u);
    EXPECT_EQ(pool.getMetricData()->numSets, 2u);
    const auto starts = relayStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(countOf(relayLog(), starts[0] + " request cluster\n"), 1u);
    EXPECT_EQ(countOf(relayLog(), starts[0] + " request pool\n"), 1u);

    EXPECT_EQ(cluster.shutdown(), 0);
    // A repeated shutdown releases nothing more: the pool sensor's channel
    // stays open.
    EXPECT_EQ(cluster.shutdown(), 0);
    EXPECT_EQ(pool.getMetricData()->numSets, 2u);
    EXPECT_EQ(relayLog().find(" eof"), std::string::npos);
    EXPECT_EQ(pool.shutdown(), 0);
    EXPECT_TRUE(waitForRelayLog(" eof"));
}

TEST_F(SensorCephTest, SilentRelayGivesAnEmptySampleInTime) {
    CephStub::setReplyTimeoutMs(200);
    env.set("CEPHRELAY_MODE", "silent");
    SensorCephPool sensor;
    ASSERT_EQ(sensor.init(), 0);
    EXPECT_EQ(sensor.getMetricData()->numSets, 0u);
    sensor.shutdown();
}

TEST_F(SensorCephTest, WithoutRelayInitFailsAndSamplesAreEmpty) {
    unsetRelay();
    SensorCephCluster sensor;
    EXPECT_EQ(sensor.init(), -1);
    EXPECT_EQ(sensor.getStatus(), -1);
    const dataSet_t* set = sensor.getMetricData();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->numSets, 0u);
    EXPECT_EQ(sensor.shutdown(), 0);
    // The sensor holds nothing to release; drop the count its bind took so
    // that later binds in this process start afresh.
    CephStub::closeInstance();
    const std::string log = daemonLog();
    EXPECT_EQ(log.find("No results received"), std::string::npos);
    EXPECT_EQ(relayLog(), "");
}

}  // namespace
