// The "DRIXFilesystem" sensor: disk I/O of each filesystem mounted on this
// node, one row per record of "tallyq fs", keyed by cluster and filesystem.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "FsRowsSensor.h"
#include "SensorDRIXDiskBase.h"

struct DRIXFilesysSensorData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixClusterName[64];
    char drixFilesystem[64];
    MetricKey metricKey;
    uint64_t drixNumDiskInFS;
    DRIXPerDiskData perDiskData;
} __attribute__((packed));

class SensorDRIXFilesystem : public FsRowsSensor<DRIXFilesysSensorData> {
  public:
    SensorDRIXFilesystem();
    static AbstractSensor* generate();

  protected:
    void fillRow(DRIXFilesysSensorData& row, const TallyqRecord& record) override;

  private:
    // This sensor's own one-time per-bucket message; the thread's only.
    bool tallyqPerBucketFieldChecked;
};
