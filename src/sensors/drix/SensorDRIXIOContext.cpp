// Source: "tallyq iocs". Each context's main-part key carries its read and
// its write count ("_cleaner_ 5 9").
#include "SensorDRIXIOContext.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

struct Context {
    const char* key;
    const char* stem;  // of the metric names: "drix_ioc_" + stem + "R" / "W"
};

constexpr Context tallyq_names[DRIX_IO_CONTEXTS] = {
    {"_other_", "unknown"},       {"_mb_", "MBHandler"},      {"_steal_", "steal"},
    {"_cleaner_", "cleaner"},     {"_sync_", "sync"},         {"_logwrap_", "logWrap"},
    {"_revoke_", "revoke"},       {"_prefetch_", "prefetch"}, {"_logdata_", "logData"},
    {"_zsdworker_", "zsdWorker"}, {"_zsdlocal_", "zsdLocal"}, {"_vdisk_", "vDisk"},
    {"_pdisk_", "pDisk"},         {"_logtip_", "logTip"},
};

constexpr uint32_t NUM_METRICS = 3 + 2 * DRIX_IO_CONTEXTS;

// Context i: read row 3 + 2i with id 13420 + 2i, write row 4 + 2i with the
// next id.
constexpr std::array<MetricsMetadata, NUM_METRICS> buildTable() {
    auto t = StatColumns::nodeHeader<NUM_METRICS>();
    for (uint32_t i = 0; i < DRIX_IO_CONTEXTS; ++i) {
        t[3 + 2 * i] = StatColumns::metric("drix_ioc_", tallyq_names[i].stem, "R", 13420 + 2 * i,
                                           DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER);
        t[4 + 2 * i] = StatColumns::metric("drix_ioc_", tallyq_names[i].stem, "W", 13421 + 2 * i,
                                           DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER);
    }
    return t;
}
constexpr std::array<MetricsMetadata, NUM_METRICS> drixIOCMetas = buildTable();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(NUM_METRICS == 31, "");
static_assert(sizeof(DRIXIOContextData) == 224, "");
static_assert(sizeof(DRIXIOContextData) == rowLength(drixIOCMetas.data(), 0, NUM_METRICS), "");
static_assert(offsetof(DRIXIOContextData, metrics) == columnOffset(drixIOCMetas.data(), 3), "");

}  // namespace

SensorDRIXIOContext::SensorDRIXIOContext()
    : SensorDRIXNodeBase(drixIOCMetas.data(), NUM_METRICS, sensorSize, 1, SensorID::DRIXIOC,
                         "tallyq iocs", &drixIOCMetricData.keys, sizeof drixIOCMetricData),
      drixIOCMetricData{} {
    for (bool& on : enabled) on = true;
}

AbstractSensor* SensorDRIXIOContext::generate() {
    SensorDRIXIOContext* sensor = new SensorDRIXIOContext();
    for (bool& on : sensor->enabled) on = true;
    return sensor;
}

void SensorDRIXIOContext::fillInMetrics(const std::vector<TallyqRecord>* records) {
    const TallyqRecord& record = records->front();
    char* row = rowBytes();
    for (uint32_t i = 0; i < DRIX_IO_CONTEXTS; ++i) {
        // The row was zeroed, so a context that is off reports 0.
        if (!enabled[i]) continue;
        uint32_t reads = 0, writes = 0;
        enabled[i] = record.getIntIntPairMain(tallyq_names[i].key, reads, writes, *log);
        if (!enabled[i]) continue;
        putRaw(row, offsetof(DRIXIOContextData, metrics) + 8 * i, reads);
        putRaw(row, offsetof(DRIXIOContextData, metrics) + 8 * i + 4, writes);
    }
}

static volatile RegisterSensorGenerator<SensorDRIXIOContext> registerSensorDRIXIOContext(
    SensorID::DRIXIOC, SensorDRIXIOContext::generate);
