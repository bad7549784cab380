// Source: "tallyq vios", the request of SensorDRIXVIO too, so a node with
// both sensors sends it twice per period. The nine further counts come
// first in the row; their ids end at 14688 and the twelve shared kinds start
// at 14700.
#include "SensorDRIXVIO64.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

using namespace DRIXVIOOps;

constexpr uint32_t NUM_EXTRA = 9;
constexpr StatColumns::Column extraColumns[NUM_EXTRA] = {
    StatColumns::column("_fc_", "drix_vio64_forceConsOps", 14680, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_fix_", "drix_vio64_fixitOps", 14681, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_ltr_", "drix_vio64_logTipReadOps", 14682, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_lhr_", "drix_vio64_logHomeReadOps", 14683, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_vtt_", "drix_vio64_vtrackTrimOps", 14684, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_ptt_", "drix_vio64_ptrackTrimOps", 14685, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_mgt_", "drix_vio64_migrateTrimOps", 14686, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_rch_", "drix_vio64_readCacheHit", 14687, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
    StatColumns::column("_rcm_", "drix_vio64_readCacheMiss", 14688, DT_UINT_64,
                        SEMTYPE_TOTALCOUNTER),
};

constexpr uint32_t NUM_COLUMNS = NUM_EXTRA + NUM_KINDS;

constexpr std::array<StatColumns::Column, NUM_COLUMNS> buildColumns() {
    std::array<StatColumns::Column, NUM_COLUMNS> t{};
    for (uint32_t i = 0; i < NUM_EXTRA; ++i) t[i] = extraColumns[i];
    putKinds(t, NUM_EXTRA, "drix_vio64_", 14700, DT_UINT_64);
    return t;
}
constexpr std::array<StatColumns::Column, NUM_COLUMNS> vio64Columns = buildColumns();

constexpr auto drixVIO64Metas = StatColumns::nodeTable(vio64Columns);
constexpr uint32_t NUM_METRICS = drixVIO64Metas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(NUM_METRICS == 24, "");
static_assert(sizeof(DRIXVIO64Data) == 280, "");
static_assert(sizeof(DRIXVIO64Data) == rowLength(drixVIO64Metas.data(), 0, NUM_METRICS), "");
static_assert(offsetof(DRIXVIO64Data, fc) == columnOffset(drixVIO64Metas.data(), 3), "");
static_assert(offsetof(DRIXVIO64Data, r) == columnOffset(drixVIO64Metas.data(), 3 + NUM_EXTRA), "");
static_assert(offsetof(DRIXVIO64Data, meta) == columnOffset(drixVIO64Metas.data(), 23), "");

}  // namespace

SensorDRIXVIO64::SensorDRIXVIO64()
    : SensorDRIXNodeBase(drixVIO64Metas.data(), NUM_METRICS, sensorSize, 1, SensorID::DRIXVIO64,
                         "tallyq vios", &drixVIOMetricData.keys, sizeof drixVIOMetricData),
      drixVIOMetricData{} {}

AbstractSensor* SensorDRIXVIO64::generate() { return new SensorDRIXVIO64(); }

void SensorDRIXVIO64::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), vio64Columns.data(), vio64Columns.size());
}

static volatile RegisterSensorGenerator<SensorDRIXVIO64> registerSensorDRIXVIO64(
    SensorID::DRIXVIO64, SensorDRIXVIO64::generate);
