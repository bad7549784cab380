// Source: "tallyq vflush_stat", one main-part key per field; the thread
// counts are 16-bit. The ids 13485 to 13487 and 13489 belong to fields the
// facility no longer reports.
#include "SensorDRIXvFlush.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

using StatColumns::column;

constexpr StatColumns::Column vFlushColumns[] = {
    column("_ndt_", "drix_vflush_dirtyTracks", 13480, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_ngdb_", "drix_vflush_globalDirtyBufs", 13481, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_nfwlmb_", "drix_vflush_FWLogMB", 13482, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_nfipt_", "drix_vflush_flushInProgressTracks", 13483, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_nfwwt_", "drix_vflush_FWWrapThreads", 13484, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_ahwm_", "drix_vflush_forceFlushTriggerCount", 13488, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_nalth_", "drix_vflush_allocThreads", 13490, DT_UINT_16, SEMTYPE_TOTALCOUNTER),
    column("_nasth_", "drix_vflush_asleepThreads", 13491, DT_UINT_16, SEMTYPE_TOTALCOUNTER),
    column("_nsigth_", "drix_vflush_signaledThreads", 13492, DT_UINT_16, SEMTYPE_TOTALCOUNTER),
    column("_ntgtth_", "drix_vflush_targetThreads", 13493, DT_UINT_16, SEMTYPE_TOTALCOUNTER),
};
constexpr auto drixvFlushMetas = StatColumns::nodeTable(vFlushColumns);
constexpr uint32_t NUM_METRICS = drixvFlushMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

constexpr const MetricsMetadata* table = drixvFlushMetas.data();
static_assert(NUM_METRICS == 13, "");
static_assert(sizeof(DRIXvFlushData) == 144, "");
static_assert(sizeof(DRIXvFlushData) == rowLength(table, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXvFlushData, dirtyTracks) == columnOffset(table, 3), "");
static_assert(offsetof(DRIXvFlushData, allocThreads) == columnOffset(table, 9), "");
static_assert(offsetof(DRIXvFlushData, targetThreads) == columnOffset(table, 12), "");

}  // namespace

SensorDRIXvFlush::SensorDRIXvFlush()
    : SensorDRIXNodeBase(table, NUM_METRICS, sensorSize, 1, SensorID::DRIXvFLUSH,
                         "tallyq vflush_stat", &drixvFlushMetricData.keys,
                         sizeof drixvFlushMetricData),
      drixvFlushMetricData{} {}

AbstractSensor* SensorDRIXvFlush::generate() { return new SensorDRIXvFlush(); }

void SensorDRIXvFlush::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), vFlushColumns,
                    sizeof vFlushColumns / sizeof vFlushColumns[0]);
}

static volatile RegisterSensorGenerator<SensorDRIXvFlush> registerSensorDRIXvFlush(
    SensorID::DRIXvFLUSH, SensorDRIXvFlush::generate);
