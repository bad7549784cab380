// Source: "tallyq plios", one record per storage pool of each filesystem:
// "_cl_", "_fs_", "_pl_" (pool) and the byte totals "_br_" and "_bw_", all
// in the main part. Missing keys leave zeros; no record is refused.
#include "SensorDRIXPoolIO.h"

#include <cstddef>

#include "RowWriter.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixPoolMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_diskpool_name", 13006, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_pool_bytes_rd", 13390, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_pool_bytes_wr", 13391, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t NUM_METAS = sizeof drixPoolMetas / sizeof drixPoolMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METAS};

static_assert(NUM_METAS == 8, "");
static_assert(sizeof(DRIXPoolSensorData) == 320, "");
static_assert(sizeof(DRIXPoolSensorData) == rowLength(drixPoolMetas, 0, NUM_METAS), "");
static_assert(offsetof(DRIXPoolSensorData, drixPoolName) == columnOffset(drixPoolMetas, 4), "");
static_assert(offsetof(DRIXPoolSensorData, metricKey) == columnOffset(drixPoolMetas, 5), "");
static_assert(offsetof(DRIXPoolSensorData, drixBytesRead) == columnOffset(drixPoolMetas, 6), "");

const std::string POOL = "_pl_", READ = "_br_", WRITTEN = "_bw_";

}  // namespace

SensorDRIXPoolIO::SensorDRIXPoolIO()
    : FsRowsSensor(SensorID::DRIXPoolIO, drixPoolMetas, NUM_METAS, sensorSize, "tallyq plios") {}

AbstractSensor* SensorDRIXPoolIO::generate() { return new SensorDRIXPoolIO(); }

void SensorDRIXPoolIO::fillRow(DRIXPoolSensorData& row, const TallyqRecord& record) {
    uint32_t hash = putNames(row, record);
    if (const char* pool = record.getStrMain(POOL, *log)) {
        safeStrncpy(row.drixPoolName, pool, sizeof row.drixPoolName);
        hash = FNV1AHashAppend32(hash, row.drixPoolName, sizeof row.drixPoolName);
    }
    hash = keys.claim(hash, [&] {
        return joinKeyText({row.drixClusterName, row.drixFilesystem, row.drixPoolName});
    });
    putKey(row, hash);
    uint64_t value = 0;
    record.getInt64Main(READ, value, *log);
    row.drixBytesRead = value;
    record.getInt64Main(WRITTEN, value, *log);
    row.drixBytesWrite = value;
}

static volatile RegisterSensorGenerator<SensorDRIXPoolIO> registerSensorDRIXPoolIO(
    SensorID::DRIXPoolIO, SensorDRIXPoolIO::generate);
