// The "DRIXCHMS" sensor: hits and misses of the node's data cache and stat
// cache, from "tallyq chms".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

struct DRIXCacheData {
    DRIXNodeHdr keys;
    uint32_t dataCacheHit;
    uint32_t dataCacheMiss;
    uint32_t statCacheHit;
    uint32_t statCacheMiss;
} __attribute__((packed));

class SensorDRIXCacheStat : public SensorDRIXNodeBase {
  public:
    SensorDRIXCacheStat();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXCacheData drixCacheMetricData;
};
