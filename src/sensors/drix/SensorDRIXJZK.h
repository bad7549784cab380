// The "DRIXJZK" sensor: capacity figures of the cluster's JZK storage, one
// row per physical disk ("tallyq pdisk_s") and one per declustered array
// ("tallyq da_s"), each keyed by recovery group. The rows describe
// cluster-wide objects, so they begin with the cluster's name.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>

#include "DirectStat.h"
#include "StatChannelSensor.h"

constexpr uint16_t JZK_NAME_LEN = 64;

// Numbers big-endian, the key in host order. The state is a u32 followed by
// four zero bytes, exported as one 8-byte metric. Both groups have this
// layout; the object is a physical disk in the first, a declustered array
// in the second.
struct DRIXJZKData_t {
    char drixClusterName[JZK_NAME_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixRGName[JZK_NAME_LEN];
    char objectName[JZK_NAME_LEN];
    MetricKey metricKey;
    uint64_t capacity;
    uint64_t usedCapacity;
    uint64_t physicalCapacity;
    uint64_t usedPhysicalCapacity;
    uint64_t logicalCapacity;
    uint64_t usedLogicalCapacity;
    uint32_t state;
    uint32_t statePad;
} __attribute__((packed));

using DRIXJZKPdiskData_t = DRIXJZKData_t;
using DRIXJZKDAData_t = DRIXJZKData_t;

class SensorDRIXJZK : public StatChannelSensor {
  public:
    SensorDRIXJZK();
    static AbstractSensor* generate();

    // Both groups; after a failure in either request both are empty.
    const dataSet_t* getMetricData() override;

  private:
    // Sends one group's request and fills its rows; false when it failed.
    template <class Row>
    bool fillGroup(const std::string& request, const char* objectKey, const char* sensorName,
                   DirectStat::CountedRows<Row>& rows, dataSet_t& set);

    // Touched by the sensor's thread only.
    std::string drixClusterName;
    dataSet_t metricDataSets[2];
    DirectStat::CountedRows<DRIXJZKPdiskData_t> drixJZKPdiskData;
    DirectStat::CountedRows<DRIXJZKDAData_t> drixJZKDAData;
    DirectStat::KeyProber keys;
};
