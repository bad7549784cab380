// Inode figures of every fileset that owns an inode space, in every polled
// filesystem, one record per fileset ("DRIXFileset").
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

class SensorDRIXFileset : public SensorDRIXCapFlow {
  public:
    // Strings NUL-padded, numbers big-endian, key in host order.
    struct DRIXFilesetData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFSName[64];
        char drixFilesetName[64];
        MetricKey metricKey;
        uint64_t maxInodes;
        uint64_t freeInodes;
        uint64_t allocInodes;
    };

    SensorDRIXFileset();
    static AbstractSensor* generate();

  protected:
    void startPoll() override;
    void collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) override;
    std::size_t buildRecords() override;

  private:
    // Set once by the constructor.
    const RowWriter filesetRow;

    // Touched by the sensor's own thread only.
    dataSet_t metricDataSet;
    RecordArray<DRIXFilesetData> filesetMetricData;
    std::vector<DRIXCapParser::Row> kept;  // rows of inode-space owners, this poll
    KeySet keys;                           // hashes given out in one poll
};
