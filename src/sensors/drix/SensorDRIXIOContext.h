// The "DRIXIOC" sensor: read and write I/O counts of the node per I/O context
// (who issued the I/O), from "tallyq iocs".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

constexpr uint32_t DRIX_IO_CONTEXTS = 14;

// Entry 2i is context i's read count, entry 2i + 1 its write count;
// big-endian.
struct DRIXIOContextData {
    DRIXNodeHdr keys;
    uint32_t metrics[2 * DRIX_IO_CONTEXTS];
} __attribute__((packed));

class SensorDRIXIOContext : public SensorDRIXNodeBase {
  public:
    SensorDRIXIOContext();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXIOContextData drixIOCMetricData;
    // Whether context i is still asked for. A context the reply once lacked
    // (or gave other than two values) stays off for the life of the object.
    bool enabled[DRIX_IO_CONTEXTS];
};
