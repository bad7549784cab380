// The "DRIXEventProducer" sensor: the node's file-event producer (messages
// sent and failed, message rates, bytes sent, latency, and the events of
// each kind), from "tallyq eps".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

struct DRIXEventProducerData {
    DRIXNodeHdr keys;
    uint64_t msgSent, msgFailed, msgRateAvg, msgRateMax, bytesSent, latencyAvg;
    uint64_t eventCreate, eventOpen, eventClose, eventRename, eventUnlink, eventChXattr, eventChacl,
        eventDestroy, eventRmdir, eventChSattr;
} __attribute__((packed));

class SensorDRIXEventProducerStat : public SensorDRIXNodeBase {
  public:
    SensorDRIXEventProducerStat();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXEventProducerData drixEventProducerMetricData;
};
