// Source: "tallyq fs", one record per mounted filesystem: "_cl_", "_fs_" and
// the number of disks "_d_" in the main part, the read and write counters of
// all its disks in the "_r_" and "_w_" parts, as for the per-disk sensors.
// Missing keys leave zeros; no record is refused.
#include "SensorDRIXFilesystem.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata head[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_fs_disks", 13330, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
// The block's ids start at 13333: 13331 and 13332 are not used.
constexpr auto drixFSMetas = PerDisk::table(head, "drix_fs_", 13333);
constexpr uint32_t sensorSize[] = {drixFSMetas.size()};

static_assert(drixFSMetas.size() == 22, "");
static_assert(sizeof(DRIXFilesysSensorData) == 376, "");
static_assert(sizeof(DRIXFilesysSensorData) == rowLength(drixFSMetas.data(), 0, 22), "");
static_assert(offsetof(DRIXFilesysSensorData, metricKey) == columnOffset(drixFSMetas.data(), 4),
              "");
static_assert(offsetof(DRIXFilesysSensorData, drixNumDiskInFS) ==
                  columnOffset(drixFSMetas.data(), 5),
              "");
static_assert(offsetof(DRIXFilesysSensorData, perDiskData) == columnOffset(drixFSMetas.data(), 6),
              "");

const std::string DISKS = "_d_";

}  // namespace

SensorDRIXFilesystem::SensorDRIXFilesystem()
    : FsRowsSensor(SensorID::DRIXFilesystem, drixFSMetas.data(), drixFSMetas.size(), sensorSize,
                   "tallyq fs"),
      tallyqPerBucketFieldChecked(false) {}

AbstractSensor* SensorDRIXFilesystem::generate() { return new SensorDRIXFilesystem(); }

void SensorDRIXFilesystem::fillRow(DRIXFilesysSensorData& row, const TallyqRecord& record) {
    uint32_t hash = putNames(row, record);
    hash = keys.claim(hash, [&] { return joinKeyText({row.drixClusterName, row.drixFilesystem}); });
    putKey(row, hash);
    uint64_t disks = 0;
    record.getInt64Main(DISKS, disks, *log);
    row.drixNumDiskInFS = disks;
    PerDisk::fill(record, row.perDiskData, request, tallyqPerBucketFieldChecked, *log);
}

static volatile RegisterSensorGenerator<SensorDRIXFilesystem> registerSensorDRIXFilesystem(
    SensorID::DRIXFilesystem, SensorDRIXFilesystem::generate);
