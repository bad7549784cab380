// Source: "tallyq is", one main-part key per field.
#include "SensorDRIXNodeStatAPI.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

using StatColumns::column;

constexpr StatColumns::Column isColumns[] = {
    column("_br_", "drix_is_bytes_read", 13520, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_bw_", "drix_is_bytes_written", 13521, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_oc_", "drix_is_open_calls", 13522, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_cc_", "drix_is_close_calls", 13523, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_rdc_", "drix_is_read_calls", 13524, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_wc_", "drix_is_write_calls", 13525, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_dir_", "drix_is_readDir_calls", 13526, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
    column("_iu_", "drix_is_inodes_written", 13527, DT_UINT_32, SEMTYPE_TOTALCOUNTER),
};
// File-local like every table here: SensorDRIXNodeStat has its own drixNSMetas.
constexpr auto drixNSMetas = StatColumns::nodeTable(isColumns);
constexpr uint32_t NUM_METRICS = drixNSMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(NUM_METRICS == 11, "");
static_assert(sizeof(DRIXISData) == 152, "");
static_assert(sizeof(DRIXISData) == rowLength(drixNSMetas.data(), 0, NUM_METRICS), "");
static_assert(offsetof(DRIXISData, counts) == columnOffset(drixNSMetas.data(), 3), "");
static_assert(offsetof(DRIXISData, counts) + offsetof(DRIXAPICounts, openCalls) ==
                  columnOffset(drixNSMetas.data(), 5),
              "");
static_assert(offsetof(DRIXISData, counts) + offsetof(DRIXAPICounts, inodesWritten) ==
                  columnOffset(drixNSMetas.data(), 10),
              "");

}  // namespace

SensorDRIXNodeStatAPI::SensorDRIXNodeStatAPI()
    : SensorDRIXNodeBase(drixNSMetas.data(), NUM_METRICS, sensorSize, 1, SensorID::DRIXIS,
                         "tallyq is", &drixISMetricData.keys, sizeof drixISMetricData),
      drixISMetricData{} {}

AbstractSensor* SensorDRIXNodeStatAPI::generate() { return new SensorDRIXNodeStatAPI(); }

void SensorDRIXNodeStatAPI::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), isColumns, sizeof isColumns / sizeof isColumns[0]);
}

static volatile RegisterSensorGenerator<SensorDRIXNodeStatAPI> registerSensorDRIXNodeStatAPI(
    SensorID::DRIXIS, SensorDRIXNodeStatAPI::generate);
