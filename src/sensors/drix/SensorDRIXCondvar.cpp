// Source: "tallyq condvar". After the header record, one "_condvar_" record
// per condition variable and operation: "_nm_" the condition variable, "_op_"
// the operation (exactly "wait" is counted), "_cnt_" the count and "_sec_"
// the time in seconds.
#include "SensorDRIXCondvar.h"

#include <cstddef>
#include <cstring>

#include "RowWriter.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixCondvarMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_condvar_name", 14820, DT_STRING, LOCK_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_condvar_cnt_wait", 14821, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_condvar_tm_wait", 14822, DT_FPMICRO_64, 8, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t NUM_METRICS = sizeof drixCondvarMetas / sizeof drixCondvarMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(sizeof(DRIXCondvarData) == 160, "");
static_assert(sizeof(DRIXCondvarData) == rowLength(drixCondvarMetas, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXCondvarData, condvarName) == columnOffset(drixCondvarMetas, 2), "");
static_assert(offsetof(DRIXCondvarData, metricKey) == columnOffset(drixCondvarMetas, 3), "");
static_assert(offsetof(DRIXCondvarData, tmWait) == columnOffset(drixCondvarMetas, 5), "");

}  // namespace

bool CondvarWords::accepts(const char* op) { return std::strcmp(op, "wait") == 0; }

void CondvarWords::set(DRIXCondvarData& row, const char* name, uint64_t count, uint64_t time) {
    std::memcpy(row.condvarName, name, sizeof row.condvarName);
    row.cntWait = count;
    row.tmWait = time;
}

SensorDRIXCondvar::SensorDRIXCondvar()
    : SensorDRIXLockStat(drixCondvarMetas, NUM_METRICS, sensorSize) {}

AbstractSensor* SensorDRIXCondvar::generate() { return new SensorDRIXCondvar(); }

static volatile RegisterSensorGenerator<SensorDRIXCondvar> registerSensorSensorDRIXCondvar(
    SensorID::DRIXCondvar, SensorDRIXCondvar::generate);
