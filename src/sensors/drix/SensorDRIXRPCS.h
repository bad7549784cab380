// The "DRIXRPCS" sensor: the node's RPC timing totals from "tallyq rpcs ns"
// in two fixed rows, one for TCP and the channel wait, one for the verbs and
// mixed paths; each row is reported only when all its objects were read.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>

#include "DirectStat.h"
#include "RpcStats.h"
#include "StatChannelSensor.h"

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

class SensorDRIXRPCS : public NodeChannelSensor {
  public:
    SensorDRIXRPCS();
    static AbstractSensor* generate();

    // Writes the rows' headers, then as NodeChannelSensor::init.
    int32_t init() override;
    // Both groups, each with 0 or 1 row.
    const dataSet_t* getMetricData() override;

  private:
    // Touched by the sensor's thread only.
    DirectStat::FixedRow<TCPSensorData> tcpMetrics;
    DirectStat::FixedRow<VerbsSensorData> verbsMetrics;
    dataSet_t metricsDataSets[2];
};
