// Source: the Ceph relay's reply to "pool", one line per pool of every
// cluster, such as
//   cluster_name:c1,pool_name:rbd,num_bytes:4096,num_kb:4,num_objects:1,...
// with the fourteen keys of the row below. Read and write counters grow for
// the life of the pool.
#include "SensorCephPool.h"

#include <endian.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "CephReply.h"
#include "FNV1AHash.h"

namespace {

constexpr MetricsMetadata cephPoolMetas[] = {
    {"cluster_name", 14300, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"pool_name", 14310, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"ceph_pool_num_bytes", 14311, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_kb", 14312, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_objects", 14313, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_object_clones", 14314, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_object_copies", 14315, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_objects_missing", 14316, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_objects_unfound", 14317, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_objects_degraded", 14318, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_pool_num_rd", 14319, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"ceph_pool_num_rd_kb", 14320, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"ceph_pool_num_wr", 14321, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"ceph_pool_num_wr_kb", 14322, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t sensorSize[] = {16};

typedef SensorCephPool::CephPoolSensorData Row;
static_assert(sizeof(Row) == rowLength(cephPoolMetas, 0, 16), "a row is 272 bytes");
static_assert(sizeof(Row) == 272, "");
static_assert(offsetof(Row, sensorName) == rowLength(cephPoolMetas, 0, 1), "");
static_assert(offsetof(Row, pool_name) == rowLength(cephPoolMetas, 0, 2), "");
static_assert(offsetof(Row, metricKey) == rowLength(cephPoolMetas, 0, 3), "");
static_assert(offsetof(Row, num_bytes) == rowLength(cephPoolMetas, 0, 4), "");
static_assert(offsetof(Row, num_wr_kb) == rowLength(cephPoolMetas, 0, 15), "");

// Reply key and row field of each number, in row order. The reply key of the
// missing-objects count is longer than its metric name.
struct NumberColumn {
    const char* key;
    std::size_t offset;  // of the big-endian field in the row
};
const NumberColumn numberColumns[] = {
    {"num_bytes", offsetof(Row, num_bytes)},
    {"num_kb", offsetof(Row, num_kb)},
    {"num_objects", offsetof(Row, num_objects)},
    {"num_object_clones", offsetof(Row, num_object_clones)},
    {"num_object_copies", offsetof(Row, num_object_copies)},
    {"num_objects_missing_on_primary", offsetof(Row, num_objects_missing_on_primary)},
    {"num_objects_unfound", offsetof(Row, num_objects_unfound)},
    {"num_objects_degraded", offsetof(Row, num_objects_degraded)},
    {"num_rd", offsetof(Row, num_rd)},
    {"num_rd_kb", offsetof(Row, num_rd_kb)},
    {"num_wr", offsetof(Row, num_wr)},
    {"num_wr_kb", offsetof(Row, num_wr_kb)},
};
static_assert(sizeof numberColumns / sizeof numberColumns[0] == 12, "one entry per number");

}  // namespace

SensorCephPool::SensorCephPool()
    : CephSensorBase(SensorID::CephPool, cephPoolMetas, 16, sensorSize, sizeof(Row), "pool") {}

bool SensorCephPool::acceptRecord(const CephReply::Record& record) {
    if (record.count("cluster_name") != 0 && record.count("pool_name") != 0) return true;
    log->logWarning("Skipping a ceph-pool record without cluster_name or pool_name");
    return false;
}

void SensorCephPool::fillRow(const CephReply::Record& rec, char* rowBytes) {
    // The base keeps raw, suitably aligned bytes; this makes them a (zeroed) row.
    Row& row = *new (rowBytes) Row();
    safeStrncpy(row.cluster_name, CephReply::textOf(rec, "cluster_name").c_str(),
                sizeof row.cluster_name);
    safeStrncpy(row.sensorName, getName().c_str(), sizeof row.sensorName);
    safeStrncpy(row.pool_name, CephReply::textOf(rec, "pool_name").c_str(), sizeof row.pool_name);
    MetricKey key;
    key.nodeID = FNV1AHash32(row.cluster_name, sizeof row.cluster_name);
    key.metricClusterID = FNV1AHash32(row.pool_name, sizeof row.pool_name);
    key.sensorID = SensorID::CephPool;
    key.metricID = 0;
    std::memcpy(&row.metricKey, &key, sizeof key);
    for (const NumberColumn& column : numberColumns) {
        const uint64_t value = htobe64(CephReply::numberOf(rec, column.key));
        std::memcpy(reinterpret_cast<char*>(&row) + column.offset, &value, sizeof value);
    }
}
