// The "DRIXVIO64" sensor: the virtual-disk operation counts of
// SensorDRIXVIO in 64-bit fields, after nine further counts (forced
// consistency, fix-it, log-tip and log-home reads, three kinds of trims,
// read-cache hits and misses), from "tallyq vios".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXVIO.h"

struct DRIXVIO64Data {
    DRIXNodeHdr keys;
    uint64_t fc, fix, ltr, lhr, vtt, ptt, mgt, rch, rcm;
    uint64_t r, sw, mw, pfw, ftw, fuw, fpw, m, s, l, rgd, meta;
} __attribute__((packed));

class SensorDRIXVIO64 : public SensorDRIXNodeBase {
  public:
    SensorDRIXVIO64();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXVIO64Data drixVIOMetricData;
};
