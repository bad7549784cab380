// Block and file quotas of every fileset of the local filesystems: usage,
// soft limit, hard limit and in-doubt amount ("DRIXFilesetQuota"). The
// polling is the quota base's; this class lays out the records and their keys.
//
// Owned by the controller block; every virtual operation is called only on
// the sensor's own thread. The rows stay valid until the next sample.
#pragma once

#include <cstdint>
#include <memory>

#include "KeySet.h"
#include "RowWriter.h"
#include "SensorDRIXQuotaBase.h"

class SensorDRIXFilesetQuota : public SensorDRIXQuotaBase {
  public:
    // Strings NUL-padded, numbers big-endian, key in host order.
    struct DRIXBlkFileQuota {
        uint64_t blockUsage, blockQuota, blockLimit, blockInDoubt;
        uint64_t filesUsage, filesQuota, filesLimit, filesInDoubt;
    };
    struct DRIXFilesetQuotaData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFilesystem[64];
        char drixFileset[64];
        MetricKey metricKey;
        DRIXBlkFileQuota perFilesetData;
    };

    SensorDRIXFilesetQuota();
    static AbstractSensor* generate();

  protected:
    void startNewRecordSet() override { metricClusterIDSet.clear(); }
    void endRecordSet() override { metricClusterIDSet.reportCollisions(*log, getName()); }
    bool fillInKeys(uint32_t index, const DRIXCapParser::Row& row) override;
    char* allocateQuotaMetricData(uint32_t count) override;
    void freeQuotaMetricData() override { drixFilesetQuotaMetricData.reset(); }
    uint64_t* getQuotaMetricPtr(uint32_t index) override {
        return &drixFilesetQuotaMetricData[index].perFilesetData.blockUsage;
    }

  private:
    // Set once by the constructor.
    const RowWriter quotaRow;

    // Touched by the sensor's own thread only.
    std::unique_ptr<DRIXFilesetQuotaData[]> drixFilesetQuotaMetricData;
    KeySet metricClusterIDSet;  // hashes given out in one poll
};
