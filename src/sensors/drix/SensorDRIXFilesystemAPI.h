// The "DRIXFilesystemAPI" sensor: per filesystem, its disks, bytes read and
// written and the counts of file-system calls, one row per record of
// "tallyq fis", keyed by cluster and filesystem.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "FsRowsSensor.h"
#include "SensorDRIXNodeStatAPI.h"

struct DRIXFISData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixClusterName[64];
    char drixFilesystem[64];
    MetricKey metricKey;
    uint64_t drixNumDiskInFS;
    DRIXAPICounts counts;
} __attribute__((packed));

class SensorDRIXFilesystemAPI : public FsRowsSensor<DRIXFISData> {
  public:
    SensorDRIXFilesystemAPI();
    static AbstractSensor* generate();

  protected:
    void fillRow(DRIXFISData& row, const TallyqRecord& record) override;
};
