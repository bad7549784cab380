// Base of the statistics sensors that report one row per disk: one request
// line per sample, one row per reply record. The derived sensor owns the row
// array and the key part of each row and supplies them through five hooks;
// the base checks the reply, fills the read/write block that ends each row
// and hands back the data set.
//
// A sensor is made by its generator and owned by the controller block that
// runs it. Every operation, hooks included, is called only on the sensor's
// own thread; the controller reads the rows before it asks for the next
// sample. The shared channel serialises the sensors' queries itself.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "DirectStat.h"
#include "SlowSample.h"
#include "StatChannelSensor.h"
#include "StatColumns.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

// The read/write block that ends every per-disk and per-filesystem row:
// counts, bytes and times in microseconds, all big-endian.
struct DRIXPerDiskData {
    uint64_t drixNumDiskReadOps;
    uint64_t drixBytesRead;
    uint64_t drixTotalDiskReadWaitTime;
    uint64_t drixTotalQueueReadWaitTime;
    uint64_t drixMinDiskReadWaitTime;
    uint64_t drixMinQueueReadWaitTime;
    uint64_t drixMaxDiskReadWaitTime;
    uint64_t drixMaxQueueReadWaitTime;
    uint64_t drixNumDiskWriteOps;
    uint64_t drixBytesWrite;
    uint64_t drixTotalDiskWriteWaitTime;
    uint64_t drixTotalQueueWriteWaitTime;
    uint64_t drixMinDiskWriteWaitTime;
    uint64_t drixMinQueueWriteWaitTime;
    uint64_t drixMaxDiskWriteWaitTime;
    uint64_t drixMaxQueueWriteWaitTime;
} __attribute__((packed));

static_assert(sizeof(DRIXPerDiskData) == 128, "sixteen u64 fields");

namespace PerDisk {

constexpr std::size_t BLOCK_ROWS = 16;

// The sixteen metric rows of the block, in block order: prefix + suffix, ids
// firstId to firstId + 15.
constexpr std::array<MetricsMetadata, BLOCK_ROWS> blockRows(const char* prefix, uint16_t firstId) {
    struct Row {
        const char* suffix;
        uint16_t type;
        uint16_t semantic;
    };
    const Row rows[BLOCK_ROWS] = {
        {"read_ops", DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"bytes_read", DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"tot_disk_wait_rd", DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER},
        {"tot_queue_wait_rd", DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER},
        {"min_disk_wait_rd", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"min_queue_wait_rd", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"max_disk_wait_rd", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"max_queue_wait_rd", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"write_ops", DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"bytes_written", DT_UINT_64, SEMTYPE_TOTALCOUNTER},
        {"tot_disk_wait_wr", DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER},
        {"tot_queue_wait_wr", DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER},
        {"min_disk_wait_wr", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"min_queue_wait_wr", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"max_disk_wait_wr", DT_FPMICRO_64, SEMTYPE_QUANTITY},
        {"max_queue_wait_wr", DT_FPMICRO_64, SEMTYPE_QUANTITY},
    };
    std::array<MetricsMetadata, BLOCK_ROWS> out{};
    for (std::size_t i = 0; i < BLOCK_ROWS; ++i) {
        out[i] = StatColumns::metric(prefix, rows[i].suffix, "", static_cast<uint16_t>(firstId + i),
                                     rows[i].type, 8, rows[i].semantic);
    }
    return out;
}

// A metric table: the header and key rows, then the block's rows.
template <std::size_t H>
constexpr std::array<MetricsMetadata, H + BLOCK_ROWS> table(const MetricsMetadata (&head)[H],
                                                            const char* prefix, uint16_t firstId) {
    std::array<MetricsMetadata, H + BLOCK_ROWS> t{};
    for (std::size_t i = 0; i < H; ++i) t[i] = head[i];
    const auto block = blockRows(prefix, firstId);
    for (std::size_t i = 0; i < BLOCK_ROWS; ++i) t[H + i] = block[i];
    return t;
}

// Fills `block` from the record's read ("_r_") and write ("_w_") parts. The
// shortest and longest times come from the per-bucket key ("_stwpb_", ...)
// when it is there, else from the plain key ("_stw_", ...), field by field.
// The first call in a sensor's life (perBucketChecked false) logs whether the
// read part carries "_stwpb_", with the request line, and sets the flag.
void fill(const TallyqRecord& record, DRIXPerDiskData& block, const std::string& request,
          bool& perBucketChecked, const Logger& log);

}  // namespace PerDisk

class SensorDRIXDiskBase : public NodeChannelSensor {
  public:
    ~SensorDRIXDiskBase() override;

    // Always the sensor's data set: one row per record, or numSets 0 when the
    // sample failed.
    const dataSet_t* getMetricData() override;

    // The clock that times each sample (tests).
    void setClock(SlowSample::Clock c) { clock = c; }
    uint32_t getRowLength() const { return drixDiskMetricDataSet.setLength; }

  protected:
    // One sensor polled every second; rows of rowLength bytes.
    SensorDRIXDiskBase(const MetricsMetadata* metas, uint32_t numMetas, const uint32_t* sensorSize,
                       uint32_t numVirtSensors, SensorID::SensorID id, const char* request,
                       uint32_t rowLength);

    // n zeroed rows of the derived row type, held by the derived sensor.
    virtual void* allocateDiskMetricData(uint32_t n) = 0;
    // Frees the rows, if any.
    virtual void freeDiskMetricData() = 0;
    // Resets the per-sample key state.
    virtual void startNewRecordSet() = 0;
    // Fills row `index` up to and including its metric key from *record;
    // false rejects the record, and with it the whole sample.
    virtual bool fillInKeys(uint32_t index, RecordList_t::const_iterator& record) = 0;
    // The read/write block of row `index`.
    virtual DRIXPerDiskData* getDiskMetricPtr(uint32_t index) = 0;

    // Touched by the sensor's thread only.
    dataSet_t drixDiskMetricDataSet;
    void* drixDiskMetricData;
    uint32_t allocatedSets;
    bool tallyqPerBucketFieldChecked;

  private:
    // Fails the sample: edge-triggered message, no rows.
    void failSample(const char* format, ...) VELMAR_PRINTF(2, 3);
    // The rows of a checked reply; false when a record was rejected.
    bool fillSample(const TallyqResponse& reply);

    SlowSample::Clock clock;
};

// The row storage of a per-disk sensor whose rows are Row, with the
// read/write block in its member perDiskData: an array of zeroed rows made
// by the base for each sample that needs one, freed with the sensor; and
// the metric keys of one sample, forgotten when the next one starts.
template <class Row>
class DiskRowsSensor : public SensorDRIXDiskBase {
  public:
    // The base's sample, then one line for the keys that collided in it. A
    // sensor that claims further keys after the base's sample calls the
    // base directly and reports itself.
    const dataSet_t* getMetricData() override {
        const dataSet_t* set = SensorDRIXDiskBase::getMetricData();
        keys.reportCollisions(*log, getName());
        return set;
    }

  protected:
    DiskRowsSensor(const MetricsMetadata* metas, uint32_t numMetas, const uint32_t* sensorSize,
                   uint32_t numVirtSensors, SensorID::SensorID id, const char* request)
        : SensorDRIXDiskBase(metas, numMetas, sensorSize, numVirtSensors, id, request,
                             sizeof(Row)) {}

    void* allocateDiskMetricData(uint32_t n) override {
        rows.reset(new Row[n]());
        return rows.get();
    }
    void freeDiskMetricData() override { rows.reset(); }
    void startNewRecordSet() override { keys.clear(); }
    DRIXPerDiskData* getDiskMetricPtr(uint32_t index) override { return &rows[index].perDiskData; }

    // Touched by the sensor's thread only.
    std::unique_ptr<Row[]> rows;
    KeySet keys;  // the metric keys given out in this sample
};
