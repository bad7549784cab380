// Source: CapqRelay's "quotaFSET:<device>" request, which runs the quota
// report tool for filesets in colon format; one row per fileset with its
// block (KB) and file usage, soft and hard limits and in-doubt amounts.
#include "SensorDRIXFilesetQuota.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixQuotaMetas[] = {
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fset_name", 13007, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_rq_blk_current", 14620, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_blk_soft_limit", 14621, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_blk_hard_limit", 14622, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_blk_in_doubt", 14623, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_file_current", 14625, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_file_soft_limit", 14626, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_file_hard_limit", 14627, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_rq_file_in_doubt", 14628, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t groupSizes[] = {13};

typedef SensorDRIXFilesetQuota::DRIXFilesetQuotaData Record;
static_assert(sizeof(Record) == 304 && sizeof(Record) == rowLength(drixQuotaMetas, 0, 13), "");
static_assert(offsetof(Record, drixFilesystem) == 100 && columnOffset(drixQuotaMetas, 2) == 100,
              "");
static_assert(offsetof(Record, drixFileset) == 164 && columnOffset(drixQuotaMetas, 3) == 164, "");
static_assert(offsetof(Record, metricKey) == 228 && columnOffset(drixQuotaMetas, 4) == 228, "");
static_assert(offsetof(Record, perFilesetData) == 240 && columnOffset(drixQuotaMetas, 5) == 240,
              "");

enum { CLUSTER = 0, SENSOR = 1, FS = 2, FSET = 3 };

}  // namespace

SensorDRIXFilesetQuota::SensorDRIXFilesetQuota()
    : SensorDRIXQuotaBase(drixQuotaMetas, 13, groupSizes, 1, SensorID::DRIXFilesetQuota,
                          "quotaFSET", sizeof(Record)),
      quotaRow(drixQuotaMetas, 13) {}

AbstractSensor* SensorDRIXFilesetQuota::generate() { return new SensorDRIXFilesetQuota(); }

char* SensorDRIXFilesetQuota::allocateQuotaMetricData(uint32_t count) {
    drixFilesetQuotaMetricData.reset(new Record[count]());
    return reinterpret_cast<char*>(drixFilesetQuotaMetricData.get());
}

bool SensorDRIXFilesetQuota::fillInKeys(uint32_t index, const DRIXCapParser::Row& source) {
    const auto fs = source.find("filesystemName");
    if (fs == source.end()) {
        log->logWarning("Missing filesystem name");
        return false;
    }
    const auto name = source.find("name");
    if (name == source.end()) {
        log->logWarning("Missing fileset name for filesystem %s", fs->second.c_str());
        return false;
    }
    Record& record = drixFilesetQuotaMetricData[index];
    char* row = reinterpret_cast<char*>(&record);
    quotaRow.putString(row, CLUSTER, drixClusterName);
    quotaRow.putString(row, SENSOR, getName());
    quotaRow.putString(row, FS, fs->second);
    quotaRow.putString(row, FSET, name->second);
    const uint32_t h = metricClusterIDSet.claim(quotaRow.keyStringHash(row),
                                                [&] { return std::string(record.drixFileset); });
    const uint32_t nodeID = FNV1AHash32(record.drixClusterName, sizeof record.drixClusterName);
    quotaRow.putKey(row, MetricKey{nodeID, h, static_cast<uint16_t>(sensorID), 0});
    return true;
}

static volatile RegisterSensorGenerator<SensorDRIXFilesetQuota> registerSensorDRIXFilesetQuota(
    SensorID::DRIXFilesetQuota, SensorDRIXFilesetQuota::generate);
