// The "DRIXPoolIO" sensor: bytes read and written per storage pool of each
// filesystem, one row per record of "tallyq plios", keyed by cluster,
// filesystem and pool.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "FsRowsSensor.h"

struct DRIXPoolSensorData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixClusterName[64];
    char drixFilesystem[64];
    char drixPoolName[64];
    MetricKey metricKey;
    uint64_t drixBytesRead;
    uint64_t drixBytesWrite;
} __attribute__((packed));

class SensorDRIXPoolIO : public FsRowsSensor<DRIXPoolSensorData> {
  public:
    SensorDRIXPoolIO();
    static AbstractSensor* generate();

  protected:
    void fillRow(DRIXPoolSensorData& row, const TallyqRecord& record) override;
};
