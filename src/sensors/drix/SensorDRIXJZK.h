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

#include "AbstractSensor.h"
#include "DirectStat.h"

constexpr uint16_t JZK_NAME_LEN = 64;

// Numbers big-endian, the key in host order. The state is a u32 followed by
// four zero bytes, exported as one 8-byte metric.
struct DRIXJZKPdiskData_t {
    char drixClusterName[JZK_NAME_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixRGName[JZK_NAME_LEN];
    char drixPDName[JZK_NAME_LEN];
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

struct DRIXJZKDAData_t {
    char drixClusterName[JZK_NAME_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixRGName[JZK_NAME_LEN];
    char drixDAName[JZK_NAME_LEN];
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

class SensorDRIXJZK : public AbstractSensor {
  public:
    SensorDRIXJZK();
    static AbstractSensor* generate();

    int32_t init() override;
    // Both groups; after a failure in either request both are empty.
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

    void setQuery(TallyqQuery* seam) { channel.setQuery(seam); }

  private:
    // Sends one group's request and fills its rows; false when it failed.
    template <class Row>
    bool fillGroup(const std::string& request, const char* objectKey, const char* sensorName,
                   DirectStat::CountedRows<Row>& rows, dataSet_t& set);

    // Touched by the sensor's thread only.
    DirectStat::Channel channel;
    std::string drixClusterName;
    dataSet_t metricDataSets[2];
    DirectStat::CountedRows<DRIXJZKPdiskData_t> drixJZKPdiskData;
    DirectStat::CountedRows<DRIXJZKDAData_t> drixJZKDAData;
    DirectStat::KeyProber keys;
};
