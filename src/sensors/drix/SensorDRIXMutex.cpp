// Source: "tallyq mutex". After the header record, one "_mutex_" record per
// mutex and operation: "_nm_" the mutex, "_op_" the operation ("acquire",
// possibly with a suffix), "_cnt_" the count and "_sec_" the time in seconds.
#include "SensorDRIXMutex.h"

#include <cstddef>
#include <cstring>

#include "RowWriter.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixMutexMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_mutex_name", 14810, DT_STRING, LOCK_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_mutex_cnt_acquire", 14811, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_mutex_tm_acquire", 14812, DT_FPMICRO_64, 8, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t NUM_METRICS = sizeof drixMutexMetas / sizeof drixMutexMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(sizeof(DRIXMutexData) == 160, "");
static_assert(sizeof(DRIXMutexData) == rowLength(drixMutexMetas, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXMutexData, mutexName) == columnOffset(drixMutexMetas, 2), "");
static_assert(offsetof(DRIXMutexData, metricKey) == columnOffset(drixMutexMetas, 3), "");
static_assert(offsetof(DRIXMutexData, tmAcquire) == columnOffset(drixMutexMetas, 5), "");

}  // namespace

bool MutexWords::accepts(const char* op) { return std::strncmp(op, "acquire", 7) == 0; }

void MutexWords::set(DRIXMutexData& row, const char* name, uint64_t count, uint64_t time) {
    std::memcpy(row.mutexName, name, sizeof row.mutexName);
    row.cntAcquire = count;
    row.tmAcquire = time;
}

SensorDRIXMutex::SensorDRIXMutex() : SensorDRIXLockStat(drixMutexMetas, NUM_METRICS, sensorSize) {}

AbstractSensor* SensorDRIXMutex::generate() { return new SensorDRIXMutex(); }

static volatile RegisterSensorGenerator<SensorDRIXMutex> registerSensorSensorDRIXMutex(
    SensorID::DRIXMutex, SensorDRIXMutex::generate);
