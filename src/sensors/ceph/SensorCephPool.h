// The Ceph pool sensor: size, object counts and read/write counters of every
// pool of every Ceph cluster the Ceph relay can see, one row per pool, from
// the relay's reply to the request "pool". Twin of SensorCephCluster, with
// which it shares the one Ceph channel and relay process.
//
// Not registered with the factory: the controller constructs it when a
// configured sensor is named "CephPool" and owns it. The channel, the rows
// and the threading rules are those of CephSensorBase.
#pragma once

#include <cstdint>

#include "CephSensorBase.h"
#include "definitions.h"

class SensorCephPool : public CephSensorBase {
  public:
    SensorCephPool();

    // One data row, in metric-table order: numbers big-endian, the metric key
    // in host order. Every field falls on its natural alignment, so the record
    // has no padding (checked against the metric table in the .cpp).
    struct CephPoolSensorData {
        char cluster_name[64];
        char sensorName[36];
        char pool_name[64];
        MetricKey metricKey;
        uint64_t num_bytes;
        uint64_t num_kb;
        uint64_t num_objects;
        uint64_t num_object_clones;
        uint64_t num_object_copies;
        uint64_t num_objects_missing_on_primary;
        uint64_t num_objects_unfound;
        uint64_t num_objects_degraded;
        uint64_t num_rd;
        uint64_t num_rd_kb;
        uint64_t num_wr;
        uint64_t num_wr_kb;
    };

  private:
    bool acceptRecord(const CephReply::Record& record) override;
    void fillRow(const CephReply::Record& record, char* row) override;
};
