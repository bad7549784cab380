// The "DRIXVFSX" sensor: count, total, shortest and longest time of each of
// the node's 47 VFS operations (the list of SensorDRIXVFS), from
// "tallyq vfssx".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXVFS.h"

// Counts of operations 1 to 46, the 64-bit count of operation 47, then three
// blocks of 47 times in microseconds (total, shortest, longest); big-endian.
struct DRIXVFSXData {
    DRIXNodeHdr keys;
    uint32_t drixVFSXCount[DRIXVFSOps::NUM_OPS - 1];
    uint64_t drixVFSXVget;
    uint64_t drixVFSXTime[DRIXVFSOps::NUM_OPS];
    uint64_t drixVFSXTimeMin[DRIXVFSOps::NUM_OPS];
    uint64_t drixVFSXTimeMax[DRIXVFSOps::NUM_OPS];
} __attribute__((packed));

class SensorDRIXVFSX : public SensorDRIXNodeBase {
  public:
    SensorDRIXVFSX();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXVFSXData drixVFSXMetricData;
};
