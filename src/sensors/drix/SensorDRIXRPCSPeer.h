// The "DRIXRPCSPeer" sensor: RPC latency to each peer node over TCP, verbs
// and mixed paths, one row per peer, from "tallyq rpcs 1s".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DirectStat.h"
#include "RpcStats.h"
#include "StatChannelSensor.h"

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

class SensorDRIXRPCSPeer : public NodeChannelSensor {
  public:
    SensorDRIXRPCSPeer();
    static AbstractSensor* generate();

    const dataSet_t* getMetricData() override;

  private:
    // Touched by the sensor's thread only.
    dataSet_t metricDataSet;
    DirectStat::CountedRows<peerData_t> metricData;
    // Kept between samples only for their capacity.
    std::vector<peerData_t> peers;
    DirectStat::KeyProber keys;
};
