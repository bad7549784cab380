// The "DRIXPDDisk" sensor: I/O of each physical disk path, one row per path
// from "tallyq pd_ds", keyed by disk name and a label that numbers the paths
// of one disk within the sample (path000, path001, ...).
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "KeySet.h"
#include "SensorDRIXDiskBase.h"

constexpr uint16_t DRIX_DEV_PATH_LEN = 8;

struct DRIXPDDiskData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixDiskName[64];
    char drixDevPathName[DRIX_DEV_PATH_LEN];
    MetricKey metricKey;
    DRIXPerDiskData perDiskData;
} __attribute__((packed));

class SensorDRIXPDDisk : public DiskRowsSensor<DRIXPDDiskData> {
  public:
    SensorDRIXPDDisk();
    ~SensorDRIXPDDisk() override;
    static AbstractSensor* generate();

  protected:
    void startNewRecordSet() override;
    bool fillInKeys(uint32_t index, RecordList_t::const_iterator& record) override;

  private:
    // Touched by the sensor's thread only.
    // Paths seen so far in this sample, by stored disk name. Keyed by the
    // name rather than its hash, so two names whose hashes collide keep
    // separate path numbers.
    std::unordered_map<std::string, uint32_t> devNamePathMap;
};
