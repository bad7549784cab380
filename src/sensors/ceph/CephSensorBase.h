// Common base of the Ceph cluster and pool sensors. Both bind the one shared
// Ceph channel, send the relay one request per sample and turn every reply
// record into one fixed-length row; this class holds the channel reference and
// the rows, a subclass names the request and lays out its row.
//
// A subclass object is owned by the controller block that runs it. Every
// virtual operation, the two hooks included, is called only on the sensor's
// own thread; the controller thread reads the returned rows before it asks
// for the next sample.
#pragma once

#include <cstdint>
#include <memory>

#include "AbstractSensor.h"
#include "CephReply.h"
#include "definitions.h"

class CephStub;

class CephSensorBase : public AbstractSensor {
  public:
    ~CephSensorBase() override;

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

  protected:
    // One virtual sensor polled every second. rowLength is the byte length of
    // one row and a multiple of 8; request is the relay request of a sample
    // and must outlive the sensor (a literal).
    CephSensorBase(SensorID::SensorID sensorID, const MetricsMetadata* metricTable,
                   uint32_t numMetrics, const uint32_t* perVirtSensorCounts, uint32_t rowLength,
                   const char* request);

    // False, after a warning, for a record that lacks a key the row needs;
    // such a record is dropped from the sample.
    virtual bool acceptRecord(const CephReply::Record& record) = 0;
    // Fills one zeroed row of rowLength bytes from an accepted record.
    virtual void fillRow(const CephReply::Record& record, char* row) = 0;

  private:
    // Set once by the constructor.
    const char* const request;

    // Touched by the sensor's own thread only.
    dataSet_t metricDataSet;
    std::unique_ptr<uint64_t[]> rows;  // allocatedSets rows; 8-byte words keep them aligned
    CephStub* cephStub;                // shared channel reference; null when unbound
    uint32_t allocatedSets;
};
