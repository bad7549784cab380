// The "DRIXBufMgr" sensor: the state of the filesystem daemon's buffer
// manager (pool sizes, prefetch and hot-list sizes, allocation and stealing
// counters) as one row per sample, from "tallyq bufmgr_s". A second group,
// buffer re-access statistics by buffer size, is declared for the
// collectors but never filled.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>

#include "DirectStat.h"
#include "StatChannelSensor.h"

// Numbers big-endian, the key in host order.
struct BufmgrData_t {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    MetricKey metricKey;
    uint64_t poolSizeK;
    uint64_t primaryDescSizeK;
    uint64_t maxPrefetchSizeK;
    uint64_t maxHotListSizeK;
    uint32_t nPGAllocator;
    uint32_t mountCountTotal;
    uint64_t nonStealableSizeK;
    uint64_t curPrefetchSizeK;
    uint64_t curHotListSizeK;
    uint64_t nDataBufs;
    uint64_t nBufAllocs;
    uint64_t nBufSteals;
    uint64_t nPreStealAttempts;
    uint64_t nPreStealSuccess;
    uint64_t nWaits;
    uint64_t nConsecutiveShortages;
    uint64_t nBufStealLooks;
    uint64_t nBufStealRefRequeue;
    uint64_t nBufStealRefIgnore;
} __attribute__((packed));

// The row of the second group, described but never produced.
struct BufmgraccData_t {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char bufferSize[16];
    MetricKey metricKey;
    uint64_t nReaccess;
    uint64_t reaccessSpan;
    uint64_t reaccessSpanAvg;
} __attribute__((packed));

class SensorDRIXBufMgr : public NodeChannelSensor {
  public:
    SensorDRIXBufMgr();
    static AbstractSensor* generate();

    // Both groups: the first with 0 or 1 row, the second always empty.
    const dataSet_t* getMetricData() override;

  private:
    // Touched by the sensor's thread only.
    dataSet_t metricDataSets[2];
    DirectStat::FixedRow<BufmgrData_t> bufmgrData;
};
