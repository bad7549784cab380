// The "DRIXWaiters" sensor: the threads waiting inside the filesystem daemon
// as a cumulative histogram over seven wait-time thresholds, in total and by
// what they wait for, from "tallyq wt".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>

#include "DirectStat.h"
#include "StatChannelSensor.h"

constexpr uint16_t WAITERS_LABEL_LEN = 16;
constexpr uint32_t WAITERS_ROWS = 7;

// Counts big-endian, the key in host order.
struct waitersData_t {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char thresholdTime[WAITERS_LABEL_LEN];
    MetricKey metricKey;
    uint64_t waitersCountAll;
    uint64_t waitersCountLocalDiskIO;
    uint64_t waitersCountNetworkIO;
    uint64_t waitersCountThCond;
    uint64_t waitersCountThMutex;
    uint64_t waitersCountDelay;
    uint64_t waitersCountSyscall;
} __attribute__((packed));

class SensorDRIXWaiters : public NodeChannelSensor {
  public:
    SensorDRIXWaiters();
    static AbstractSensor* generate();

    // Seven rows after a good reply, none otherwise.
    const dataSet_t* getMetricData() override;

  private:
    // Touched by the sensor's thread only.
    dataSet_t dataSet;
    DirectStat::AppendedRows<waitersData_t> dataVector;
};
