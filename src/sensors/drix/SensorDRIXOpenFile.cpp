// Source: "tallyq of_s", one main-part key per u32 field. Each key is the
// field name between underscores ("_nOpenInUse_"), the metric name is
// "drix_of_" and the field name, and the ids run from 14773 in row order.
#include "SensorDRIXOpenFile.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

struct Field {
    const char* key;
    uint16_t semantic;
};

constexpr uint16_t Q = SEMTYPE_QUANTITY;
constexpr uint16_t C = SEMTYPE_TOTALCOUNTER;

constexpr uint32_t NUM_FIELDS = 28;
constexpr Field fields[NUM_FIELDS] = {
    {"_nOpenCreated_", Q},      {"_nOpenInUse_", Q},        {"_nOpenFree_", Q},
    {"_nOpenUsedMemK_", Q},     {"_nInserts_", C},          {"_nRemoves_", C},
    {"_nCreates_", C},          {"_nDestroys_", C},         {"_nPushFree_", C},
    {"_nReused_", C},           {"_nCompactCreated_", Q},   {"_nCompactInUse_", Q},
    {"_nCompactDirs_", Q},      {"_nCompactFree_", Q},      {"_nCompactUsedMemK_", Q},
    {"_nCompactLimit_", Q},     {"_nCompactMadeValid_", C}, {"_nCompactInserts_", C},
    {"_nCompactRemoves_", C},   {"_nCompactCreates_", C},   {"_nCompactDestroys_", C},
    {"_nCompactPushFree_", C},  {"_nCompactReused_", C},    {"_nCompactHit_", C},
    {"_nCompactExpands_", C},   {"_nCompactRevokes_", C},   {"_nCompactSteals_", C},
    {"_nCompactDirSteals_", C},
};

// "drix_of_" and the key without its enclosing underscores.
constexpr MetricsMetadata metricOf(const Field& f, uint16_t id) {
    MetricsMetadata m =
        StatColumns::metric("drix_of_", f.key + 1, "", id, DT_UINT_32, 4, f.semantic);
    std::size_t end = 0;
    while (m.metricName[end] != '\0') ++end;
    m.metricName[end - 1] = '\0';
    return m;
}

constexpr std::array<StatColumns::Column, NUM_FIELDS> buildColumns() {
    std::array<StatColumns::Column, NUM_FIELDS> t{};
    for (uint32_t i = 0; i < NUM_FIELDS; ++i)
        t[i] = {fields[i].key, metricOf(fields[i], 14773 + i)};
    return t;
}
constexpr std::array<StatColumns::Column, NUM_FIELDS> ofColumns = buildColumns();
constexpr auto drixOpenFileMetas = StatColumns::nodeTable(ofColumns);
constexpr uint32_t NUM_METRICS = drixOpenFileMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

constexpr const MetricsMetadata* table = drixOpenFileMetas.data();
static_assert(NUM_METRICS == 31, "");
static_assert(sizeof(DRIXOpenFileData_t) == 224, "");
static_assert(sizeof(DRIXOpenFileData_t) == rowLength(table, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXOpenFileData_t, nOpenCreated) == columnOffset(table, 3), "");
static_assert(offsetof(DRIXOpenFileData_t, nCompactCreated) == columnOffset(table, 13), "");
static_assert(offsetof(DRIXOpenFileData_t, nCompactDirSteals) == columnOffset(table, 30), "");

}  // namespace

SensorDRIXOpenFile::SensorDRIXOpenFile()
    : SensorDRIXNodeBase(table, NUM_METRICS, sensorSize, 1, SensorID::DRIXOpenFile, "tallyq of_s",
                         &drixOpenFileMetricData.keys, sizeof drixOpenFileMetricData),
      drixOpenFileMetricData{} {}

AbstractSensor* SensorDRIXOpenFile::generate() { return new SensorDRIXOpenFile(); }

void SensorDRIXOpenFile::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), ofColumns.data(), ofColumns.size());
}

static volatile RegisterSensorGenerator<SensorDRIXOpenFile> registerSensorDRIXOpenFile(
    SensorID::DRIXOpenFile, SensorDRIXOpenFile::generate);
