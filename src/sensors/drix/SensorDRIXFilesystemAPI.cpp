// Source: "tallyq fis", one record per filesystem: "_cl_", "_fs_", the disk
// count "_d_", the byte totals "_br_" and "_bw_" (u64) and the call counts
// "_oc_", "_cc_", "_rdc_", "_wc_", "_dir_" and "_iu_" (u32), all in the main
// part. Missing keys leave zeros; no record is refused.
#include "SensorDRIXFilesystemAPI.h"

#include <cstddef>
#include <cstring>

#include "RowWriter.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixFISMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_fis_disks", 13530, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_fis_bytes_read", 13531, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_bytes_written", 13532, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_open_calls", 13533, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_close_calls", 13534, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_read_calls", 13535, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_write_calls", 13536, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_readdir_calls", 13537, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER},
    {"drix_fis_inodes_written", 13538, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER},
};
constexpr uint32_t NUM_METAS = sizeof drixFISMetas / sizeof drixFISMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METAS};
constexpr uint32_t FIRST_VALUE = 5;

static_assert(NUM_METAS == 14, "");
static_assert(sizeof(DRIXFISData) == 288, "");
static_assert(sizeof(DRIXFISData) == rowLength(drixFISMetas, 0, NUM_METAS), "");
static_assert(offsetof(DRIXFISData, metricKey) == columnOffset(drixFISMetas, 4), "");
static_assert(offsetof(DRIXFISData, drixNumDiskInFS) == columnOffset(drixFISMetas, FIRST_VALUE),
              "");
static_assert(offsetof(DRIXFISData, counts) + offsetof(DRIXAPICounts, openCalls) ==
                  columnOffset(drixFISMetas, 8),
              "");

// The main-part key of each value column, in row order.
const std::string VALUE_KEYS[NUM_METAS - FIRST_VALUE] = {"_d_",   "_br_", "_bw_",  "_oc_", "_cc_",
                                                         "_rdc_", "_wc_", "_dir_", "_iu_"};

}  // namespace

SensorDRIXFilesystemAPI::SensorDRIXFilesystemAPI()
    : FsRowsSensor(SensorID::DRIXFIS, drixFISMetas, NUM_METAS, sensorSize, "tallyq fis") {}

AbstractSensor* SensorDRIXFilesystemAPI::generate() { return new SensorDRIXFilesystemAPI(); }

void SensorDRIXFilesystemAPI::fillRow(DRIXFISData& row, const TallyqRecord& record) {
    uint32_t hash = putNames(row, record);
    hash = keys.claim(hash, [&] { return joinKeyText({row.drixClusterName, row.drixFilesystem}); });
    putKey(row, hash);
    char* at = reinterpret_cast<char*>(&row) + columnOffset(drixFISMetas, FIRST_VALUE);
    for (uint32_t c = FIRST_VALUE; c < NUM_METAS; ++c) {
        const std::string& key = VALUE_KEYS[c - FIRST_VALUE];
        if (drixFISMetas[c].metricLen == 8) {
            uint64_t v = 0;
            record.getInt64Main(key, v, *log);
            std::memcpy(at, &v, sizeof v);
        } else {
            uint32_t v = 0;
            record.getInt32Main(key, v, *log);
            std::memcpy(at, &v, sizeof v);
        }
        at += drixFISMetas[c].metricLen;
    }
}

static volatile RegisterSensorGenerator<SensorDRIXFilesystemAPI> registerSensorDRIXFilesystemAPI(
    SensorID::DRIXFIS, SensorDRIXFilesystemAPI::generate);
