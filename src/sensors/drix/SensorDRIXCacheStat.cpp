// Source: "tallyq chms", one main-part key per counter.
#include "SensorDRIXCacheStat.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

using StatColumns::column;

constexpr StatColumns::Column cacheColumns[] = {
    column("_dch_", "drix_chms_dataHit", 13540, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_dcm_", "drix_chms_dataMiss", 13541, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_sch_", "drix_chms_statHit", 13542, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_scm_", "drix_chms_statMiss", 13543, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
};
constexpr auto drixCacheMetas = StatColumns::nodeTable(cacheColumns);
constexpr uint32_t NUM_METRICS = drixCacheMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(NUM_METRICS == 7, "");
static_assert(sizeof(DRIXCacheData) == 128, "");
static_assert(sizeof(DRIXCacheData) == rowLength(drixCacheMetas.data(), 0, NUM_METRICS), "");
static_assert(offsetof(DRIXCacheData, dataCacheHit) == columnOffset(drixCacheMetas.data(), 3), "");
static_assert(offsetof(DRIXCacheData, statCacheMiss) == columnOffset(drixCacheMetas.data(), 6), "");

}  // namespace

SensorDRIXCacheStat::SensorDRIXCacheStat()
    : SensorDRIXNodeBase(drixCacheMetas.data(), NUM_METRICS, sensorSize, 1, SensorID::DRIXCHMS,
                         "tallyq chms", &drixCacheMetricData.keys, sizeof drixCacheMetricData),
      drixCacheMetricData{} {}

AbstractSensor* SensorDRIXCacheStat::generate() { return new SensorDRIXCacheStat(); }

void SensorDRIXCacheStat::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), cacheColumns, sizeof cacheColumns / sizeof cacheColumns[0]);
}

static volatile RegisterSensorGenerator<SensorDRIXCacheStat> registerSensorDRIXCacheStat(
    SensorID::DRIXCHMS, SensorDRIXCacheStat::generate);
