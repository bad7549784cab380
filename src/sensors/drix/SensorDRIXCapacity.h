// Free and total space of the polled filesystems, three ways: per disk, per
// storage pool and usage type, and the inode counts per filesystem (virtual
// sensors "DRIXDiskCap", "DRIXPoolCap" and "DRIXInodeCap").
//
// Owned by the controller block; every virtual operation is called only on
// the sensor's own thread. The rows stay valid until the next sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CapRecords.h"
#include "KeySet.h"
#include "RowWriter.h"
#include "SensorDRIXCapFlow.h"

class SensorDRIXCapacity : public SensorDRIXCapFlow {
  public:
    // The records; strings NUL-padded, numbers big-endian, key in host order.
    struct DRIXDiskCapData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFSName[64];
        char drixPoolName[64];
        char drixDiskName[64];
        MetricKey metricKey;
        uint64_t diskSize;
        uint64_t freeBlocks;
        uint64_t freeFragments;
    };
    struct DRIXPoolCapData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFSName[64];
        char drixPoolName[64];
        char drixUsageName[24];
        MetricKey metricKey;
        uint64_t diskSize;
        uint64_t freeBlocks;
        uint64_t freeFragments;
    };
    struct DRIXInodeCapData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFSName[64];
        MetricKey metricKey;
        uint64_t usedInodes;
        uint64_t freeInodes;
        uint64_t allocatedInodes;
        uint64_t maxInodes;
    };

    SensorDRIXCapacity();
    ~SensorDRIXCapacity() override = default;
    static AbstractSensor* generate();

  protected:
    void startPoll() override;
    void collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) override;
    std::size_t buildRecords() override;

  private:
    // One collected filesystem's listing.
    struct Collected {
        std::string fs;
        std::vector<DRIXCapParser::Row> disks;
        DRIXCapParser::PoolTotals totals;
        std::map<std::string, uint64_t> inodes;
    };

    std::size_t buildDisks(uint32_t nodeID);
    std::size_t buildPools(uint32_t nodeID);
    std::size_t buildInodes(uint32_t nodeID);

    // Set once by the constructor.
    const RowWriter diskRow, poolRow, inodeRow;

    // Touched by the sensor's own thread only.
    dataSet_t metricDataSets[3];
    RecordArray<DRIXDiskCapData> diskCapMetricData;
    RecordArray<DRIXPoolCapData> poolCapMetricData;
    RecordArray<DRIXInodeCapData> inodeCapMetricData;
    std::vector<Collected> collected;
    KeySet keys;  // hashes given out within one filesystem
};
