// The "DRIXRPCS" sensor: the node's RPC timing totals from "tallyq rpcs ns"
// in two fixed rows, one for TCP and the channel wait, one for the verbs and
// mixed paths; each row is reported only when all its objects were read.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>

#include "AbstractSensor.h"
#include "DirectStat.h"
#include "RpcStats.h"

struct TCPSensorData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    MetricKey metricKey;
    latencyMetrics_t channelWait;
    latencyMetrics_t tcpSend;
    latencyMetrics_t tcpRecv;
    latencyMetrics_t tcpLatency;
} __attribute__((packed));

struct VerbsSensorData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    MetricKey metricKey;
    latencyMetrics_t verbsSend;
    latencyMetrics_t verbsLatency;
    latencyMetrics_t mixedLatency;
} __attribute__((packed));

class SensorDRIXRPCS : public AbstractSensor {
  public:
    SensorDRIXRPCS();
    static AbstractSensor* generate();

    int32_t init() override;
    // Both groups, each with 0 or 1 row.
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

    void setQuery(TallyqQuery* seam) { channel.setQuery(seam); }
    const std::string& getRequest() const { return request; }

  private:
    // Touched by the sensor's thread only.
    DirectStat::Channel channel;
    const std::string request;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
    DirectStat::FixedRow<TCPSensorData> tcpMetrics;
    DirectStat::FixedRow<VerbsSensorData> verbsMetrics;
    dataSet_t metricsDataSets[2];
};
