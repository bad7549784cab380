// The "DRIXNode" sensor: the node's disk I/O as a whole (clusters,
// filesystems, disks; per direction operations, bytes, total and extreme disk
// and queue waits), from "tallyq ns".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXDiskBase.h"
#include "SensorDRIXNodeBase.h"

// Times in microseconds; big-endian. The read/write block is that of the
// per-disk rows.
struct DRIXZSData {
    DRIXNodeHdr keys;
    uint16_t numClusters;
    uint16_t numFilesys;
    uint32_t numDisks;
    DRIXPerDiskData disk;
} __attribute__((packed));

class SensorDRIXNodeStat : public SensorDRIXNodeBase {
  public:
    SensorDRIXNodeStat();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    // Fills the eight fields of one direction from offset on.
    void fillSide(const TallyqRecord& record, bool write, std::size_t offset);

    DRIXZSData drixNSMetricData;
    // Set once the per-bucket fields were announced; never reset.
    bool tallyqPerBucketFieldChecked;
};
