// Base of the quota sensors: polls a quota report of every mounted local
// filesystem through the shared polling flow and turns each reported row into
// one fixed-size record. Remote filesystems are never polled, the request
// carries the device name, and the rows of all filesystems are gathered before
// the records are built in one pass. A subclass lays out the records.
//
// Owned by the controller block; every virtual operation, the hooks included,
// is called only on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SensorDRIXCapFlow.h"

class SensorDRIXQuotaBase : public SensorDRIXCapFlow {
  public:
    // The quota value conversion: a signed decimal read like stream input;
    // negative values, even below the signed 64-bit range, become 0 (logged
    // at debug level). False when the text holds no number or one above the
    // signed 64-bit range.
    bool convertStrU64NegativValToNull(const std::string& text, uint64_t& value) const;

  protected:
    SensorDRIXQuotaBase(const MetricsMetadata* metricTable, uint32_t numMetrics,
                        const uint32_t* perVirtSensorCounts, uint32_t numVirtSensors,
                        SensorID::SensorID id, const std::string& requestWord,
                        uint32_t recordLength);

    // Hooks of the record layout.
    // Called once per poll before the first record is filled.
    virtual void startNewRecordSet() = 0;
    // Called once per poll after the last record is filled.
    virtual void endRecordSet() = 0;
    // Fills the key part of (cleared) record index from row; false skips the row.
    virtual bool fillInKeys(uint32_t index, const DRIXCapParser::Row& row) = 0;
    // count zeroed records of recordLength bytes.
    virtual char* allocateQuotaMetricData(uint32_t count) = 0;
    virtual void freeQuotaMetricData() = 0;
    // The eight consecutive quota values of record index.
    virtual uint64_t* getQuotaMetricPtr(uint32_t index) = 0;

  private:
    bool remoteFlag() const override { return false; }
    void startPoll() override { rows.clear(); }
    void collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) override;
    bool listingFailed(const FsPair& fs, const std::string& error) override;
    void finishPoll(std::size_t failures, const std::string& error) override;
    std::size_t buildRecords() override;
    void dropRecords();

    // Touched by the sensor's own thread only.
    dataSet_t drixQuotaMetricDataSet;
    char* drixQuotaMetricData = nullptr;  // owned through the hooks
    std::size_t allocatedSets = 0;
    std::vector<DRIXCapParser::Row> rows;  // of every filesystem, this poll
};
