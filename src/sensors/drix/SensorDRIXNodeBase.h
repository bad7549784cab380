// Base of the statistics sensors that report one row per sample for the whole
// node: one request line, one reply, one row. A derived sensor supplies its
// metric table, its row record (which begins with DRIXNodeHdr), its request
// line and fillInMetrics; the base writes the row header, checks each reply,
// zeroes the row after the header and hands back the data set.
//
// A sensor is made by its generator and owned by the controller block that
// runs it. init, getMetricData, getStatus, shutdown and fillInMetrics are
// called only on the sensor's own thread; the controller thread reads the
// returned row before it asks for the next sample. The shared channel
// serialises the sensors' queries itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "StatColumns.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

class TallyqStub;

// The first 112 bytes of every per-node row. The metric key is in host order.
struct DRIXNodeHdr {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    MetricKey metricKey;
} __attribute__((packed));

static_assert(sizeof(DRIXNodeHdr) == 112, "node, sensor and metric key");

class SensorDRIXNodeBase : public AbstractSensor {
  public:
    ~SensorDRIXNodeBase() override;

    // 0 when a channel was obtained, else -1.
    int32_t init() override;
    // Always the sensor's data set: one row, or numSets 0 when the sample
    // failed.
    const dataSet_t* getMetricData() override;
    // -1 without a channel, else 0.
    int32_t getStatus() override;
    // Gives the channel back (once); always 0.
    int32_t shutdown() override;

    // Answers this sensor's requests from `seam` instead of the shared
    // channel, which init then never asks for. Borrowed; set before init.
    void setQuery(TallyqQuery* seam) { query = seam; }

    const std::string& getRequest() const { return TALLYQ_CMD; }
    uint32_t getRowLength() const { return drixNodeMetricDataSet.setLength; }

  protected:
    // One group of numMetas metrics polled every second; row is the derived
    // sensor's own row record of rowLength bytes.
    SensorDRIXNodeBase(const MetricsMetadata* metas, uint32_t numMetas, const uint32_t* sensorSize,
                       uint32_t numVirtSensors, SensorID::SensorID id, const char* request,
                       DRIXNodeHdr* row, uint32_t rowLength);

    // Fills the zeroed row after its header from a reply that holds at least
    // one record with return code 0.
    virtual void fillInMetrics(const std::vector<TallyqRecord>* records) = 0;

    // Copies the main-part values of `columns`, which follow the header in
    // row order, with the getter of each column's width (2, 4 or 8 bytes),
    // so the row holds them in network order; a missing key leaves 0.
    void fillMainColumns(const TallyqRecord& record, const StatColumns::Column* columns,
                         std::size_t count);

    char* rowBytes() { return reinterpret_cast<char*>(drixNodeMetricData); }

    // Set once by the constructor and init; touched by the sensor's thread.
    dataSet_t drixNodeMetricDataSet;
    DRIXNodeHdr* drixNodeMetricData;
    TallyqStub* tallyqStub;
    const std::string TALLYQ_CMD;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;

  private:
    TallyqQuery* query;
    bool released;
};

// Copies a value that is already in network order into the row at offset.
template <class T>
inline void putRaw(char* row, std::size_t offset, T value) {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8, "a row number");
    std::memcpy(row + offset, &value, sizeof value);
}
