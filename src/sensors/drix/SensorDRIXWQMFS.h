// The "DRIXWQMFS" sensor: WQM caching statistics per filesystem, one row per
// record of "tallyq wqm fs", keyed by filesystem.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <memory>

#include "KeySet.h"
#include "SensorDRIXWQMBase.h"

struct DIRXWQMFSData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixFilesystem[64];
    MetricKey metricKey;
    DRIXWQMDataSet wqmDataSet;
} __attribute__((packed));

namespace WQM {
// Copies "_fs_" into `field` (64 bytes) and returns its hash; an empty or
// missing name is reported as "unknown", a missing one with hash 0.
uint32_t putFilesystem(char* field, const TallyqRecord& record, const Logger& log);
}  // namespace WQM

class SensorDRIXWQMFS : public WQMRowsSensor<DIRXWQMFSData> {
  public:
    SensorDRIXWQMFS();
    static AbstractSensor* generate();

  protected:
    bool fillInKeys(uint32_t index, const TallyqRecord& record) override;
};
