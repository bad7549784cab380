// The "DRIXWQM" sensor: WQM caching statistics of the whole node, one row
// from "tallyq wqm".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXWQMBase.h"

struct DIRXWQMData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    MetricKey metricKey;
    DRIXWQMDataSet wqmDataSet;
} __attribute__((packed));

class SensorDRIXWQM : public SensorDRIXWQMBase {
  public:
    SensorDRIXWQM();
    static AbstractSensor* generate();

  protected:
    // The one held row, whatever the number of records.
    void* allocateWQMMetricData(uint32_t n) override;
    void freeWQMMetricData() override {}
    void startNewRecordSet() override {}
    bool fillInKeys(uint32_t index, const TallyqRecord& record) override;
    DRIXWQMDataSet* getWQMMetricPtr(uint32_t index) override;
    uint32_t rowsHeld(uint32_t) const override { return 1; }

  private:
    // Touched by the sensor's thread only.
    DIRXWQMData wqmData;
};
