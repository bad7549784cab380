// The "DRIXNodeAPI" sensor: the node's application-level I/O (bytes read
// and written, open, close, read, write and read-directory calls, inodes
// written), from "tallyq is".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

// The file API's byte totals and call counts, big-endian: of the node here,
// of one filesystem in the rows of SensorDRIXFilesystemAPI.
struct DRIXAPICounts {
    uint64_t bytesRead;
    uint64_t bytesWritten;
    uint32_t openCalls;
    uint32_t closeCalls;
    uint32_t readCalls;
    uint32_t writeCalls;
    uint32_t readDirCalls;
    uint32_t inodesWritten;
} __attribute__((packed));

struct DRIXISData {
    DRIXNodeHdr keys;
    DRIXAPICounts counts;
} __attribute__((packed));

class SensorDRIXNodeStatAPI : public SensorDRIXNodeBase {
  public:
    SensorDRIXNodeStatAPI();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXISData drixISMetricData;
};
