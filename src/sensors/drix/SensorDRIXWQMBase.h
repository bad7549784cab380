// Base of the three sensors of the filesystem's WQM caching statistics (node,
// filesystem, fileset). Every reply record carries the same block of
// statistics; the base reads it into one row per record, while the derived
// sensor supplies the row storage and the key strings through five hooks.
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

namespace WQM {

constexpr std::size_t SCALAR_ROWS = 18;
constexpr std::size_t OPERATIONS = 24;
// Queued, in flight, completed, errors, filtered.
constexpr std::size_t OPERATION_VALUES = 5;
constexpr std::size_t BLOCK_ROWS = SCALAR_ROWS + OPERATIONS * OPERATION_VALUES;

// Operation words in block order; each is read from the key "_<word>_".
constexpr const char* OPERATION_WORDS[OPERATIONS] = {
    "lookup",  "getattr",  "readdir", "readlink", "create", "mkdir",     "mknod",      "remove",
    "rmdir",   "rename",   "chmod",   "trunc",    "chown",  "stime",     "link",       "symlink",
    "setattr", "setxattr", "open",    "close",    "read",   "readsplit", "writesplit", "write"};

enum class Read { U64, U32, MICROS };

// One scalar field of the block, in field order.
struct Scalar {
    const char* key;     // main-part key
    Read read;           // getter and conversion
    const char* suffix;  // metric name after the prefix
    uint16_t idOffset;   // metric id less the table's id base
    uint16_t type;
    uint16_t semantic;
};

constexpr Scalar SCALARS[SCALAR_ROWS] = {
    {"_br_", Read::U64, "bytes_read", 20, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_bw_", Read::U64, "bytes_written", 21, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_ne_", Read::U64, "ops_expired", 25, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_nf_", Read::U64, "ops_forced", 26, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_ns_", Read::U64, "ops_sync", 27, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_nr_", Read::U64, "ops_revoked", 29, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_btw_", Read::U64, "bytes_pending", 32, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_nme_", Read::U64, "ops_sent", 33, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_ws_", Read::MICROS, "shortest_time", 22, DT_FPMICRO_64, SEMTYPE_QUANTITY},
    {"_wl_", Read::MICROS, "longest_time", 23, DT_FPMICRO_64, SEMTYPE_QUANTITY},
    {"_wa_", Read::MICROS, "avg_time", 24, DT_FPMICRO_64, SEMTYPE_QUANTITY},
    {"_tr_", Read::MICROS, "tot_read_time", 30, DT_FPMICRO_64, SEMTYPE_QUANTITY},
    {"_tw_", Read::MICROS, "tot_write_time", 31, DT_FPMICRO_64, SEMTYPE_QUANTITY},
    {"_hcn_", Read::U64, "conn_esta", 34, DT_UINT_64, SEMTYPE_TOTALCOUNTER},
    {"_hdi_", Read::U32, "conn_broken", 35, DT_UINT_32, SEMTYPE_TOTALCOUNTER},
    {"_fex_", Read::U32, "fset_expired", 36, DT_UINT_32, SEMTYPE_TOTALCOUNTER},
    {"_qme_", Read::U64, "used_q_memory", 37, DT_UINT_64, SEMTYPE_QUANTITY},
    {"_nqm_", Read::U64, "num_queued_msgs", 38, DT_UINT_64, SEMTYPE_QUANTITY},
};

// A metric table: the header and key rows, then the block's rows named
// prefix + suffix. Scalars take ids base + their offset (base + 28 and
// base + 39 are not used); the k-th operation takes base + 40 + 5k to
// base + 44 + 5k.
template <std::size_t H>
constexpr std::array<MetricsMetadata, H + BLOCK_ROWS> table(const MetricsMetadata (&head)[H],
                                                            const char* prefix, uint16_t base) {
    struct Value {
        const char* suffix;
        uint16_t semantic;
    };
    const Value values[OPERATION_VALUES] = {{"_queued", SEMTYPE_QUANTITY},
                                            {"_inflight", SEMTYPE_QUANTITY},
                                            {"_complete", SEMTYPE_TOTALCOUNTER},
                                            {"_errors", SEMTYPE_TOTALCOUNTER},
                                            {"_filter", SEMTYPE_TOTALCOUNTER}};
    std::array<MetricsMetadata, H + BLOCK_ROWS> t{};
    std::size_t n = 0;
    for (const MetricsMetadata& m : head) t[n++] = m;
    for (const Scalar& s : SCALARS) {
        t[n++] = StatColumns::metric(prefix, s.suffix, "", static_cast<uint16_t>(base + s.idOffset),
                                     s.type, s.type == DT_UINT_32 ? 4 : 8, s.semantic);
    }
    for (std::size_t k = 0; k < OPERATIONS; ++k) {
        for (std::size_t v = 0; v < OPERATION_VALUES; ++v) {
            t[n++] = StatColumns::metric(prefix, OPERATION_WORDS[k], values[v].suffix,
                                         static_cast<uint16_t>(base + 40 + 5 * k + v), DT_UINT_64,
                                         8, values[v].semantic);
        }
    }
    return t;
}

}  // namespace WQM

// The statistics block at the end of every WQM row, big-endian, times in
// microseconds.
struct DRIXWQMDataSet {
    uint64_t bytesReadCacheMiss;
    uint64_t bytesWrittenCacheUpd;
    uint64_t opsExpired;
    uint64_t opsForced;
    uint64_t opsSync;
    uint64_t opsRevoked;
    uint64_t bytesPending;
    uint64_t totNumOps;
    uint64_t gwQueueShortestWait;
    uint64_t gwQueueLongestWait;
    uint64_t gwQueueAvgWait;
    uint64_t totReadTime;
    uint64_t totWriteTime;
    uint64_t totConnEsta;
    uint32_t totConnBroken;
    uint32_t totFilesetExpired;
    uint64_t queueUsedMemory;
    uint64_t numQueuedMsgs;
    // One array per operation of WQM::OPERATION_WORDS.
    uint64_t operations[WQM::OPERATIONS][WQM::OPERATION_VALUES];
} __attribute__((packed));

static_assert(sizeof(DRIXWQMDataSet) == 1096, "18 scalars and 24 operation arrays");

class SensorDRIXWQMBase : public NodeChannelSensor {
  public:
    ~SensorDRIXWQMBase() override;

    // Always the sensor's data set: the rows of the sample, or numSets 0 when
    // it failed.
    const dataSet_t* getMetricData() override;

    // The clock that times each sample (tests).
    void setClock(SlowSample::Clock c) { clock = c; }
    uint32_t getRowLength() const { return drixWQMMetricDataSet.setLength; }

  protected:
    SensorDRIXWQMBase(const MetricsMetadata* metas, uint32_t numMetas, const uint32_t* sensorSize,
                      uint32_t numVirtSensors, SensorID::SensorID id, const char* request,
                      uint32_t rowLength);

    // Storage for n zeroed rows, held by the derived sensor.
    virtual void* allocateWQMMetricData(uint32_t n) = 0;
    virtual void freeWQMMetricData() = 0;
    // Empties the per-sample key state.
    virtual void startNewRecordSet() = 0;
    // Fills names, key strings and metric key of row `index` from the
    // record; false skips the record.
    virtual bool fillInKeys(uint32_t index, const TallyqRecord& record) = 0;
    virtual DRIXWQMDataSet* getWQMMetricPtr(uint32_t index) = 0;
    // Rows the storage for `records` records holds; a sensor with one fixed
    // row reads every record into it and reports that one row.
    virtual uint32_t rowsHeld(uint32_t records) const { return records; }

    // Touched by the sensor's thread only.
    dataSet_t drixWQMMetricDataSet;
    void* drixWQMMetricData;
    uint32_t allocatedSets;

  private:
    void fillSample(const TallyqResponse& reply);

    SlowSample::Clock clock;
};

// The row storage of a WQM sensor with one row per record, whose rows are
// Row with the WQM block in its member wqmDataSet: an array of zeroed rows
// made by the base for each sample that needs one, freed with the sensor;
// and the metric keys of one sample, forgotten when the next one starts.
template <class Row>
class WQMRowsSensor : public SensorDRIXWQMBase {
  public:
    // The base's sample, then one line for the keys that collided in it.
    const dataSet_t* getMetricData() override {
        const dataSet_t* set = SensorDRIXWQMBase::getMetricData();
        keys.reportCollisions(*log, getName());
        return set;
    }

  protected:
    WQMRowsSensor(const MetricsMetadata* metas, uint32_t numMetas, const uint32_t* sensorSize,
                  uint32_t numVirtSensors, SensorID::SensorID id, const char* request)
        : SensorDRIXWQMBase(metas, numMetas, sensorSize, numVirtSensors, id, request, sizeof(Row)) {
    }

    void* allocateWQMMetricData(uint32_t n) override {
        rows.reset(new Row[n]());
        return rows.get();
    }
    void freeWQMMetricData() override { rows.reset(); }
    void startNewRecordSet() override { keys.clear(); }
    DRIXWQMDataSet* getWQMMetricPtr(uint32_t index) override { return &rows[index].wqmDataSet; }

    // Touched by the sensor's thread only.
    std::unique_ptr<Row[]> rows;
    KeySet keys;  // the metric keys given out in this sample
};
