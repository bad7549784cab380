// The bases of the statistics sensors that send their own requests over the
// statistics channel: StatChannelSensor holds the channel from init to
// shutdown (or a query seam that answers instead), NodeChannelSensor adds
// the one request of a per-node sensor and this node's name and id, which
// its rows begin with.
//
// Made by the factory as part of a derived sensor and owned by the
// controller block that runs it; every operation runs on the sensor's own
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "AbstractSensor.h"
#include "DirectStat.h"

class StatChannelSensor : public AbstractSensor {
  public:
    // 0 when a channel was obtained, else -1.
    int32_t init() override;
    // -1 without a channel, else 0.
    int32_t getStatus() override;
    // Gives the channel back (once); always 0. The rows stay until the
    // sensor goes: the controller may still be encoding the last sample.
    int32_t shutdown() override;

    // Answers this sensor's requests from `seam` instead of the shared
    // channel, which init then never asks for. Borrowed; set before init.
    void setQuery(TallyqQuery* seam) { channel.setQuery(seam); }

  protected:
    // A sensor polled every second.
    StatChannelSensor(SensorID::SensorID id, const MetricsMetadata* metas, uint32_t numMetas,
                      const uint32_t* sensorSize, uint32_t numVirtSensors);

    // Touched by the sensor's thread only.
    DirectStat::Channel channel;
};

class NodeChannelSensor : public StatChannelSensor {
  public:
    // Reads this node's name and id, then takes the channel.
    int32_t init() override;

    const std::string& getRequest() const { return request; }

  protected:
    NodeChannelSensor(SensorID::SensorID id, const MetricsMetadata* metas, uint32_t numMetas,
                      const uint32_t* sensorSize, uint32_t numVirtSensors, const char* request);

    // Set once by the constructor.
    const std::string request;
    // Set by init; touched by the sensor's thread only.
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
