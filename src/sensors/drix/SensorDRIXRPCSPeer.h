// The "DRIXRPCSPeer" sensor: RPC latency to each peer node over TCP, verbs
// and mixed paths, one row per peer, from "tallyq rpcs 1s".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "DirectStat.h"
#include "RpcStats.h"

constexpr uint16_t PEER_NAME_LEN = 64;

struct peerData_t {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixClusterName[PEER_NAME_LEN];
    char peerName[PEER_NAME_LEN];
    MetricKey metricKey;
    latencyMetrics_t tcpLatency;
    latencyMetrics_t verbsLatency;
    latencyMetrics_t mixedLatency;
} __attribute__((packed));

class SensorDRIXRPCSPeer : public AbstractSensor {
  public:
    SensorDRIXRPCSPeer();
    static AbstractSensor* generate();

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    // Gives the channel back; the rows stay until the sensor goes.
    int32_t shutdown() override;

    void setQuery(TallyqQuery* seam) { channel.setQuery(seam); }
    const std::string& getRequest() const { return request; }

  private:
    // Touched by the sensor's thread only.
    DirectStat::Channel channel;
    const std::string request;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
    dataSet_t metricDataSet;
    DirectStat::CountedRows<peerData_t> metricData;
    // Kept between samples only for their capacity.
    std::vector<peerData_t> peers;
    DirectStat::KeyProber keys;
};
