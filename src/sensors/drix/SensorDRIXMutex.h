// The "DRIXMutex" sensor: per named mutex of the filesystem daemon, how often
// it was acquired and the total time spent acquiring it, from
// "tallyq mutex".
#pragma once

#include <cstdint>

#include "SensorDRIXLockStat.h"

// Numbers big-endian, the key in host order.
struct DRIXMutexData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char mutexName[LOCK_NAME_LEN];
    MetricKey metricKey;
    uint64_t cntAcquire;
    uint64_t tmAcquire;  // microseconds
} __attribute__((packed));

struct MutexWords {
    static constexpr SensorID::SensorID ID = SensorID::DRIXMutex;
    static constexpr const char* REQUEST = "tallyq mutex";
    static constexpr const char* SKIP = "Could not read mutex \"%s\" from tallyq response";
    static constexpr const char* BAD = "Bad response received for DRIXMutex sensor, skipping.";
    static bool accepts(const char* op);
    static void set(DRIXMutexData& row, const char* name, uint64_t count, uint64_t time);
};

class SensorDRIXMutex : public SensorDRIXLockStat<DRIXMutexData, MutexWords> {
  public:
    SensorDRIXMutex();
    static AbstractSensor* generate();
};
