// The Ceph cluster sensor: capacity of every Ceph cluster the Ceph relay can
// see (total, used and available kilobytes, object count), one row per
// cluster, from the relay's reply to the request "cluster".
//
// Not registered with the factory: the controller constructs it when a
// configured sensor is named "CephCluster" and owns it. Every virtual
// operation is called only on the sensor's own thread; the controller thread
// reads the returned rows before it asks for the next sample.
#pragma once

#include <cstdint>

#include "AbstractSensor.h"
#include "definitions.h"

class CephStub;

class SensorCephCluster : public AbstractSensor {
  public:
    SensorCephCluster();
    ~SensorCephCluster() override;

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

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
    // Touched by the sensor's own thread only (the controller reads the rows
    // between a data reply and the next request).
    dataSet_t metricDataSet;
    CephClusterSensorData* metricData;  // owned; new[] of allocatedSets rows
    CephStub* cephStub;                 // shared channel reference; null when unbound
    uint32_t allocatedSets;
};
