// The Ceph cluster sensor: capacity of every Ceph cluster the Ceph relay can
// see (total, used and available kilobytes, object count), one row per
// cluster, from the relay's reply to the request "cluster".
//
// Not registered with the factory: the controller constructs it when a
// configured sensor is named "CephCluster" and owns it. The channel, the
// rows and the threading rules are those of CephSensorBase.
#pragma once

#include <cstdint>

#include "CephSensorBase.h"
#include "definitions.h"

class SensorCephCluster : public CephSensorBase {
  public:
    SensorCephCluster();

    // One data row, in metric-table order: numbers big-endian, the metric key
    // in host order. Every field falls on its natural alignment, so the record
    // has no padding (checked against the metric table in the .cpp).
    struct CephClusterSensorData {
        char cluster_name[64];
        char sensorName[36];
        MetricKey metricKey;
        uint64_t kb;
        uint64_t kb_used;
        uint64_t kb_avail;
        uint64_t num_objects;
    };

  private:
    bool acceptRecord(const CephReply::Record& record) override;
    void fillRow(const CephReply::Record& record, char* row) override;
};
