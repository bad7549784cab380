// The "DRIXOpenFile" sensor: the node's open-file entries and compact entries
// (created, in use, free, memory, and the counts of their operations), from
// "tallyq of_s".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

// 28 u32 in the row order of the metric table; big-endian.
struct DRIXOpenFileData_t {
    DRIXNodeHdr keys;
    uint32_t nOpenCreated, nOpenInUse, nOpenFree, nOpenUsedMemK;
    uint32_t nInserts, nRemoves, nCreates, nDestroys, nPushFree, nReused;
    uint32_t nCompactCreated, nCompactInUse, nCompactDirs, nCompactFree, nCompactUsedMemK,
        nCompactLimit;
    uint32_t nCompactMadeValid, nCompactInserts, nCompactRemoves, nCompactCreates, nCompactDestroys,
        nCompactPushFree, nCompactReused, nCompactHit, nCompactExpands, nCompactRevokes,
        nCompactSteals, nCompactDirSteals;
} __attribute__((packed));

class SensorDRIXOpenFile : public SensorDRIXNodeBase {
  public:
    SensorDRIXOpenFile();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXOpenFileData_t drixOpenFileMetricData;
};
