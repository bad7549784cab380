// Source: CapqRelay's "iqlspool:<device>" request, which runs the pool
// listing tool (a table for people, not colon format): one line per pool with
// its data and metadata totals and free space in KB.
#include "SensorDRIXPool.h"

#include <cstddef>
#include <cstring>

#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixPoolMetas[] = {
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_diskpool_name", 13006, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_pool_total_dataKB", 14660, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_pool_free_dataKB", 14661, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_pool_total_metaKB", 14662, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_pool_free_metaKB", 14663, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t groupSizes[] = {9};

typedef SensorDRIXPool::DRIXPoolData Record;
static_assert(sizeof(Record) == 272 && sizeof(Record) == rowLength(drixPoolMetas, 0, 9), "");
static_assert(offsetof(Record, drixPoolName) == columnOffset(drixPoolMetas, 3), "");
static_assert(offsetof(Record, metricKey) == columnOffset(drixPoolMetas, 4), "");
static_assert(offsetof(Record, tot_dataKB) == columnOffset(drixPoolMetas, 5), "");

enum { CLUSTER = 0, SENSOR = 1, FS = 2, POOL = 3, VALUES = 5 };

const SensorDRIXCapFlow::Texts poolTexts = {
    "No capq command stub, no metrics to report.",
    "Error running iqlspool for filesystem %s: %s",
    "No data from iqlspool command, no metrics to report",
    "No results received from iqlspool, no metrics to report.",
};

}  // namespace

SensorDRIXPool::SensorDRIXPool()
    : SensorDRIXCapFlow(SensorID::DRIXPool, drixPoolMetas, 9, groupSizes, 1, &metricDataSet,
                        poolTexts, {"iqlspool", false}),
      poolRow(drixPoolMetas, 9),
      metricDataSet{0, sizeof(Record), nullptr} {}

AbstractSensor* SensorDRIXPool::generate() { return new SensorDRIXPool(); }

void SensorDRIXPool::startPoll() { collected.clear(); }

void SensorDRIXPool::collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) {
    std::vector<DRIXCapParser::Row> rows;
    drixCapParser.parsePoolResponse(reply, rows, error);
    for (DRIXCapParser::Row& row : rows) row["filesystemName"] = fs.first;
    collected.push_back(std::move(rows));
}

std::size_t SensorDRIXPool::buildRecords() {
    std::size_t needed = 0;
    for (const auto& rows : collected) needed += rows.size();
    metricDataSet.numSets = 0;
    if (needed == 0) return 0;
    Record* records = poolMetricData.prepare(needed, metricDataSet);
    char clusterField[64];
    safeStrncpy(clusterField, drixClusterName.c_str(), sizeof clusterField);
    const uint32_t nodeID = FNV1AHash32(clusterField, sizeof clusterField);
    static const char* const valueColumns[4] = {"tot_dataKB", "free_dataKB", "tot_metaKB",
                                                "free_metaKB"};
    static const char* const missing[4] = {"Missing tot_dataKB for filesystem %s, pool %s",
                                           "Missing free_dataKB for filesystem %s, pool %s",
                                           "Missing tot_metaKB for filesystem %s, pool %s",
                                           "Missing free_metaKB for filesystem %s, pool %s"};
    std::size_t n = 0;
    for (const auto& rows : collected) {
        keys.clear();
        for (const DRIXCapParser::Row& pool : rows) {
            char* row = reinterpret_cast<char*>(&records[n]);
            std::memset(row, 0, sizeof(Record));
            const std::string& fs = pool.at("filesystemName");  // set by collect
            poolRow.putString(row, CLUSTER, drixClusterName);
            poolRow.putString(row, SENSOR, getName());
            poolRow.putString(row, FS, fs);
            const auto name = pool.find("poolName");
            if (name == pool.end()) {
                log->logWarning("Missing pool name for filesystem %s", fs.c_str());
                continue;
            }
            poolRow.putString(row, POOL, name->second);
            // Two pools of one filesystem must not share a key.
            const uint32_t hash = keys.claim(poolRow.keyStringHash(row), [&] {
                return joinKeyText({fs, name->second});
            });
            poolRow.putKey(row, MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
            bool complete = true;
            for (int k = 0; k < 4 && complete; ++k) {
                const auto value = pool.find(valueColumns[k]);
                if (value == pool.end()) {
                    log->logWarning(missing[k], fs.c_str(), name->second.c_str());
                    complete = false;
                } else {
                    poolRow.putNumber(row, VALUES + k, DRIXCapParser::unsignedText(value->second));
                }
            }
            if (complete) ++n;
        }
    }
    keys.reportCollisions(*log, getName());
    metricDataSet.numSets = static_cast<uint32_t>(n);
    return n;
}

static volatile RegisterSensorGenerator<SensorDRIXPool> registerSensorDRIXPool(
    SensorID::DRIXPool, SensorDRIXPool::generate);
