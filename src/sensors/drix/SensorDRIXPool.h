// Total and free space for data and metadata of every storage pool of the
// polled filesystems, one record per pool ("DRIXPool").
//
// Owned by the controller block; every virtual operation is called only on
// the sensor's own thread. The rows stay valid until the next sample.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CapRecords.h"
#include "KeySet.h"
#include "RowWriter.h"
#include "SensorDRIXCapFlow.h"

class SensorDRIXPool : public SensorDRIXCapFlow {
  public:
    // Strings NUL-padded, numbers big-endian, key in host order.
    struct DRIXPoolData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFSName[64];
        char drixPoolName[64];
        MetricKey metricKey;
        uint64_t tot_dataKB;
        uint64_t free_dataKB;
        uint64_t tot_metaKB;
        uint64_t free_metaKB;
    };

    SensorDRIXPool();
    static AbstractSensor* generate();

  protected:
    void startPoll() override;
    void collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) override;
    std::size_t buildRecords() override;

  private:
    // Set once by the constructor.
    const RowWriter poolRow;

    // Touched by the sensor's own thread only.
    dataSet_t metricDataSet;
    RecordArray<DRIXPoolData> poolMetricData;
    std::vector<std::vector<DRIXCapParser::Row>> collected;  // per filesystem, in list order
    KeySet keys;                                             // hashes given out in one filesystem
};
