// The "DRIXvFLUSH" sensor: the node's vflush statistics (dirty tracks and
// buffers, FW log size, tracks being flushed, FW wrap threads, forced-flush
// triggers, flush threads allocated, asleep, signaled and targeted), from
// "tallyq vflush_stat".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

struct DRIXvFlushData {
    DRIXNodeHdr keys;
    uint32_t dirtyTracks;
    uint32_t globalDirtyBufs;
    uint32_t FWLogMB;
    uint32_t flushInProgressTracks;
    uint32_t FWWrapThreads;
    uint32_t forceFlushTriggerCount;
    uint16_t allocThreads;
    uint16_t sleepThreads;
    uint16_t signaledThreads;
    uint16_t targetThreads;
} __attribute__((packed));

class SensorDRIXvFlush : public SensorDRIXNodeBase {
  public:
    SensorDRIXvFlush();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXvFlushData drixvFlushMetricData;
};
