// The "DRIXZSDDisk" sensor: I/O of the ZSD disks this node serves, one row
// per disk from "tallyq zsd_ds" (group 1), and the sums of those disks per
// filesystem (group 2, "DRIXZSDFS") and per pool of a filesystem (group 3,
// "DRIXZSDPool"), with each disk's filesystem and pool from the ZSD name map.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread. The sensor owns its name map.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "KeySet.h"
#include "SensorDRIXDisk.h"
#include "SensorDRIXDiskBase.h"
#include "ZSDInfo.h"

struct DRIXZSDDiskData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixDiskName[DRIX_NAME_LEN];
    MetricKey metricKey;
    DRIXPerDiskData perDiskData;
} __attribute__((packed));

// Sums big-endian, the key in host order, as in every row.
struct DRIXPerFSDiskData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixFSName[DRIX_NAME_LEN];
    MetricKey metricKey;
    uint64_t perFSNumDiskReadOps;
    uint64_t perFSBytesRead;
    uint64_t perFSNumDiskWriteOps;
    uint64_t perFSBytesWritten;
} __attribute__((packed));

struct DRIXPerPoolDiskData {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    char drixFSName[DRIX_NAME_LEN];
    char drixPoolName[DRIX_NAME_LEN];
    MetricKey metricKey;
    uint64_t perPoolNumDiskReadOps;
    uint64_t perPoolBytesRead;
    uint64_t perPoolNumDiskWriteOps;
    uint64_t perPoolBytesWritten;
} __attribute__((packed));

// Sums of one sample in host order; they wrap at 2^64 as the counters do.
struct AggregatedMetrics {
    uint64_t readOps = 0;
    uint64_t bytesRead = 0;
    uint64_t writeOps = 0;
    uint64_t bytesWritten = 0;
};

class SensorDRIXZSDDisk : public DiskRowsSensor<DRIXZSDDiskData> {
  public:
    SensorDRIXZSDDisk();
    ~SensorDRIXZSDDisk() override;
    static AbstractSensor* generate();

    // The three groups; 2 and 3 are empty when group 1 is.
    const dataSet_t* getMetricData() override;
    // Drops the name map (and its channel), then the base's shutdown.
    int32_t shutdown() override;

    // The name map, for tests and the benchmark to give it a query and a
    // clock before the first sample; null after shutdown.
    ZSDInfo* getZSDInfo() { return zsdInfo.get(); }

    static constexpr long ZSD_REFRESH_S = 60;

  protected:
    bool fillInKeys(uint32_t index, RecordList_t::const_iterator& record) override;

  private:
    void fillInFSKeys(uint32_t index, const std::string& fs);
    void fillInPoolKeys(uint32_t index, const poolFS_t& pool);
    // Adds the row's four counters to sums.
    static void add(AggregatedMetrics& sums, const DRIXPerDiskData& row);

    // Touched by the sensor's thread only.
    std::unique_ptr<DRIXPerFSDiskData[]> drixPerFSMetricData;
    std::unique_ptr<DRIXPerPoolDiskData[]> drixPerPoolMetricData;
    std::map<std::string, AggregatedMetrics> perFSMap;
    std::map<poolFS_t, AggregatedMetrics> perPoolMap;
    uint32_t allocatedFSSets = 0;
    uint32_t allocatedPoolSets = 0;
    dataSet_t allMetricsDataSets[3];
    std::unique_ptr<ZSDInfo> zsdInfo;
};
