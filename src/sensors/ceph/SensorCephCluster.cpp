// Source: the Ceph relay's reply to "cluster", one line per cluster such as
//   cluster_name:c1,kb:100,kb_used:40,kb_avail:60,num_objects:7
// Capacities are in kilobytes, as the relay reports them.
#include "SensorCephCluster.h"

#include <endian.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "CephReply.h"
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
    : CephSensorBase(SensorID::CephCluster, cephClusterMetas, 7, sensorSize, sizeof(Row),
                     "cluster") {}

bool SensorCephCluster::acceptRecord(const CephReply::Record& record) {
    if (record.count("cluster_name") != 0) return true;
    log->logWarning("Skipping a ceph-cluster record without cluster_name");
    return false;
}

void SensorCephCluster::fillRow(const CephReply::Record& rec, char* rowBytes) {
    // The base keeps raw, suitably aligned bytes; this makes them a (zeroed) row.
    Row& row = *new (rowBytes) Row();
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
