// Source: "tallyq eps", one main-part key per 64-bit field.
#include "SensorDRIXEventProducer.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

constexpr StatColumns::Column u64(const char* key, const char* name, uint16_t id,
                                  uint16_t semantic = SEMTYPE_TOTALCOUNTER) {
    return StatColumns::column(key, name, id, DT_UINT_64, semantic);
}

constexpr StatColumns::Column epColumns[] = {
    u64("_msgs_", "drix_ep_msg_sent", 14715),
    u64("_msgf_", "drix_ep_msg_failed", 14716),
    u64("_msgravg_", "drix_ep_msgrate_avg", 14717, SEMTYPE_QUANTITY),
    u64("_msgrmax_", "drix_ep_msgrate_max", 14718, SEMTYPE_QUANTITY),
    u64("_bs_", "drix_ep_bytes_sent", 14719),
    u64("_lavg_", "drix_ep_latency_avg", 14720, SEMTYPE_QUANTITY),
    u64("_ecreate_", "drix_ep_event_create", 14721),
    u64("_eopen_", "drix_ep_event_open", 14722),
    u64("_eclose_", "drix_ep_event_close", 14723),
    u64("_erename_", "drix_ep_event_rename", 14724),
    u64("_eunlink_", "drix_ep_event_unlink", 14725),
    u64("_echxattr_", "drix_ep_event_chxattr", 14726),
    u64("_echacl_", "drix_ep_event_chacl", 14727),
    u64("_edestroy_", "drix_ep_event_destroy", 14728),
    u64("_ermdir_", "drix_ep_event_rmdir", 14729),
    u64("_echsattr_", "drix_ep_event_chsattr", 14730),
};
constexpr auto drixEventProducerMetas = StatColumns::nodeTable(epColumns);
constexpr uint32_t NUM_METRICS = drixEventProducerMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

constexpr const MetricsMetadata* table = drixEventProducerMetas.data();
static_assert(NUM_METRICS == 19, "");
static_assert(sizeof(DRIXEventProducerData) == 240, "");
static_assert(sizeof(DRIXEventProducerData) == rowLength(table, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXEventProducerData, msgSent) == columnOffset(table, 3), "");
static_assert(offsetof(DRIXEventProducerData, eventCreate) == columnOffset(table, 9), "");
static_assert(offsetof(DRIXEventProducerData, eventChSattr) == columnOffset(table, 18), "");

}  // namespace

SensorDRIXEventProducerStat::SensorDRIXEventProducerStat()
    : SensorDRIXNodeBase(table, NUM_METRICS, sensorSize, 1, SensorID::DRIXEventProducer,
                         "tallyq eps", &drixEventProducerMetricData.keys,
                         sizeof drixEventProducerMetricData),
      drixEventProducerMetricData{} {}

AbstractSensor* SensorDRIXEventProducerStat::generate() {
    return new SensorDRIXEventProducerStat();
}

void SensorDRIXEventProducerStat::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), epColumns, sizeof epColumns / sizeof epColumns[0]);
}

static volatile RegisterSensorGenerator<SensorDRIXEventProducerStat>
    registerSensorDRIXEventProducer(SensorID::DRIXEventProducer,
                                    SensorDRIXEventProducerStat::generate);
