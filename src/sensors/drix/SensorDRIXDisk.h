// The "DRIXDisk" sensor: I/O of each disk as this node's filesystems see it,
// one row per disk from "tallyq ds", keyed by cluster, filesystem and disk.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <memory>

#include "KeySet.h"
#include "SensorDRIXDiskBase.h"

constexpr uint16_t DRIX_NAME_LEN = 64;

struct DRIXDiskData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixClusterName[DRIX_NAME_LEN];
    char drixFilesystem[DRIX_NAME_LEN];
    char drixDiskName[DRIX_NAME_LEN];
    MetricKey metricKey;
    DRIXPerDiskData perDiskData;
} __attribute__((packed));

class SensorDRIXDisk : public DiskRowsSensor<DRIXDiskData> {
  public:
    SensorDRIXDisk();
    ~SensorDRIXDisk() override;
    static AbstractSensor* generate();

  protected:
    bool fillInKeys(uint32_t index, RecordList_t::const_iterator& record) override;
};
