// Source: the Ceph relay's reply to "pool", one line per pool of every
// cluster, such as
//   cluster_name:c1,pool_name:rbd,num_bytes:4096,num_kb:4,num_objects:1,...
// with the fourteen keys of the row below. Read and write counters grow for
// the life of the pool.
#include "SensorCephPool.h"

#include <endian.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "CephReply.h"
#include "CephStub.h"
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
    : AbstractSensor(SensorID::CephPool, cephPoolMetas, 16, sensorSize, 1, 1000000),
      metricDataSet{0, sizeof(Row), nullptr},
      metricData(nullptr),
      cephStub(nullptr),
      allocatedSets(0) {}

SensorCephPool::~SensorCephPool() {
    // Normally shutdown has freed the rows; a sensor deleted without it
    // (its thread ended before the shutdown request) must not leak them.
    delete[] metricData;
}

int32_t SensorCephPool::init() {
    cephStub = CephStub::getInstance();
    return cephStub != nullptr ? 0 : -1;
}

int32_t SensorCephPool::getStatus() { return cephStub != nullptr ? 0 : -1; }

int32_t SensorCephPool::shutdown() {
    // Forget the channel once released: a second shutdown must not release
    // the other Ceph sensor's reference and close the channel under it.
    if (cephStub != nullptr) CephStub::closeInstance();
    cephStub = nullptr;
    delete[] metricData;
    metricData = nullptr;
    allocatedSets = 0;
    metricDataSet.numSets = 0;
    metricDataSet.data = nullptr;
    return 0;
}

const dataSet_t* SensorCephPool::getMetricData() {
    if (cephStub == nullptr) {
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    std::vector<CephReply::Record> records;
    CephReply::parseValue(cephStub->executeQuery("pool"), records);
    for (auto it = records.begin(); it != records.end();) {
        if (it->count("cluster_name") == 0 || it->count("pool_name") == 0) {
            log->logWarning("Skipping a ceph-pool record without cluster_name or pool_name");
            it = records.erase(it);
        } else {
            ++it;
        }
    }

    if (records.empty()) {
        sourceOK = false;
        if (sourcePrevOK)
            log->logError("No results received from ceph-cluster, no metrics to report.");
        metricDataSet.numSets = 0;
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    const uint32_t n = static_cast<uint32_t>(records.size());
    if (metricData == nullptr || allocatedSets != n) {
        delete[] metricData;
        metricData = new Row[n];
        allocatedSets = n;
    }
    metricDataSet.numSets = allocatedSets;
    metricDataSet.data = reinterpret_cast<const char*>(metricData);
    std::memset(static_cast<void*>(metricData), 0, sizeof(Row) * n);

    for (uint32_t i = 0; i < n; ++i) {
        const CephReply::Record& rec = records[i];
        Row& row = metricData[i];
        safeStrncpy(row.cluster_name, CephReply::textOf(rec, "cluster_name").c_str(),
                    sizeof row.cluster_name);
        safeStrncpy(row.sensorName, getName().c_str(), sizeof row.sensorName);
        safeStrncpy(row.pool_name, CephReply::textOf(rec, "pool_name").c_str(),
                    sizeof row.pool_name);
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
    metricDataSet.numSets = n;
    sourcePrevOK = sourceOK;
    return &metricDataSet;
}
