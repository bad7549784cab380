// The channel-holding bases of the statistics sensors (StatChannelSensor.h).
#include "StatChannelSensor.h"

StatChannelSensor::StatChannelSensor(SensorID::SensorID id, const MetricsMetadata* metas,
                                     uint32_t numMetas, const uint32_t* sensorSize,
                                     uint32_t numVirtSensors)
    : AbstractSensor(id, metas, numMetas, sensorSize, numVirtSensors, 1000000) {}

int32_t StatChannelSensor::init() { return channel.acquire() ? 0 : -1; }

int32_t StatChannelSensor::getStatus() { return channel.available() ? 0 : -1; }

int32_t StatChannelSensor::shutdown() {
    channel.release();
    return 0;
}

NodeChannelSensor::NodeChannelSensor(SensorID::SensorID id, const MetricsMetadata* metas,
                                     uint32_t numMetas, const uint32_t* sensorSize,
                                     uint32_t numVirtSensors, const char* request)
    : StatChannelSensor(id, metas, numMetas, sensorSize, numVirtSensors),
      request(request),
      nodeName{},
      nodeID(0) {}

int32_t NodeChannelSensor::init() {
    nodeID = getNodeID(nodeName, sizeof nodeName);
    return StatChannelSensor::init();
}
