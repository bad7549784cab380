// The "DRIXCondvar" sensor: per named condition variable of the filesystem
// daemon, how often it was waited on and the total time spent waiting, from
// "tallyq condvar".
#pragma once

#include <cstdint>

#include "SensorDRIXLockStat.h"

// Numbers big-endian, the key in host order.
struct DRIXCondvarData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char condvarName[LOCK_NAME_LEN];
    MetricKey metricKey;
    uint64_t cntWait;
    uint64_t tmWait;  // microseconds
} __attribute__((packed));

struct CondvarWords {
    static constexpr SensorID::SensorID ID = SensorID::DRIXCondvar;
    static constexpr const char* REQUEST = "tallyq condvar";
    static constexpr const char* SKIP = "Could not read condvar \"%s\" from tallyq response";
    static constexpr const char* BAD = "Bad response received for DRIXCondvar sensor, skipping.";
    static bool accepts(const char* op);
    static void set(DRIXCondvarData& row, const char* name, uint64_t count, uint64_t time);
};

class SensorDRIXCondvar : public SensorDRIXLockStat<DRIXCondvarData, CondvarWords> {
  public:
    SensorDRIXCondvar();
    static AbstractSensor* generate();
};
