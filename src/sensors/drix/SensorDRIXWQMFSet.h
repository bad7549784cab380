// The "DRIXWQMFSET" sensor: WQM caching statistics per fileset, one row per
// record of "tallyq wqm fset", keyed by filesystem and fileset.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <memory>

#include "KeySet.h"
#include "SensorDRIXWQMBase.h"

struct DIRXWQMFSETData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixFilesystem[64];
    char drixFileSet[64];
    MetricKey metricKey;
    DRIXWQMDataSet wqmDataSet;
} __attribute__((packed));

class SensorDRIXWQMFSet : public WQMRowsSensor<DIRXWQMFSETData> {
  public:
    SensorDRIXWQMFSet();
    static AbstractSensor* generate();

  protected:
    bool fillInKeys(uint32_t index, const TallyqRecord& record) override;
};
