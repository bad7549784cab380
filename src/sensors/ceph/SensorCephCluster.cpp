// Source: the Ceph relay's reply to "cluster", one line per cluster such as
//   cluster_name:c1,kb:100,kb_used:40,kb_avail:60,num_objects:7
// Capacities are in kilobytes, as the relay reports them.
#include "SensorCephCluster.h"

#include <endian.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "CephReply.h"
#include "CephStub.h"
#include "FNV1AHash.h"

namespace {

constexpr MetricsMetadata cephClusterMetas[] = {
    {"cluster_name", 14300, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"ceph_cl_kb", 14301, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_cl_kb_used", 14302, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_cl_kb_avail", 14303, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"ceph_cl_num_objects", 14304, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t sensorSize[] = {7};

typedef SensorCephCluster::CephClusterSensorData Row;
static_assert(sizeof(Row) == rowLength(cephClusterMetas, 0, 7), "a row is 144 bytes");
static_assert(sizeof(Row) == 144, "");
static_assert(offsetof(Row, sensorName) == rowLength(cephClusterMetas, 0, 1), "");
static_assert(offsetof(Row, metricKey) == rowLength(cephClusterMetas, 0, 2), "");
static_assert(offsetof(Row, kb) == rowLength(cephClusterMetas, 0, 3), "");
static_assert(offsetof(Row, num_objects) == rowLength(cephClusterMetas, 0, 6), "");

}  // namespace

SensorCephCluster::SensorCephCluster()
    : AbstractSensor(SensorID::CephCluster, cephClusterMetas, 7, sensorSize, 1, 1000000),
      metricDataSet{0, sizeof(Row), nullptr},
      metricData(nullptr),
      cephStub(nullptr),
      allocatedSets(0) {}

SensorCephCluster::~SensorCephCluster() {
    // Normally shutdown has freed the rows; a sensor deleted without it
    // (its thread ended before the shutdown request) must not leak them.
    delete[] metricData;
}

int32_t SensorCephCluster::init() {
    cephStub = CephStub::getInstance();
    return cephStub != nullptr ? 0 : -1;
}

int32_t SensorCephCluster::getStatus() { return cephStub != nullptr ? 0 : -1; }

int32_t SensorCephCluster::shutdown() {
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

const dataSet_t* SensorCephCluster::getMetricData() {
    if (cephStub == nullptr) {
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    std::vector<CephReply::Record> records;
    CephReply::parseValue(cephStub->executeQuery("cluster"), records);
    for (auto it = records.begin(); it != records.end();) {
        if (it->count("cluster_name") == 0) {
            log->logWarning("Skipping a ceph-cluster record without cluster_name");
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
        MetricKey key;
        key.nodeID = FNV1AHash32(row.cluster_name, sizeof row.cluster_name);
        key.metricClusterID = 0;
        key.sensorID = SensorID::CephCluster;
        key.metricID = 0;
        std::memcpy(&row.metricKey, &key, sizeof key);
        row.kb = htobe64(CephReply::numberOf(rec, "kb"));
        row.kb_used = htobe64(CephReply::numberOf(rec, "kb_used"));
        row.kb_avail = htobe64(CephReply::numberOf(rec, "kb_avail"));
        row.num_objects = htobe64(CephReply::numberOf(rec, "num_objects"));
    }
    metricDataSet.numSets = n;
    sourcePrevOK = sourceOK;
    return &metricDataSet;
}
