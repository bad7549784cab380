// Source: "tallyq ns". Counts of clusters, filesystems and disks are in the
// record's main part; its read part ("_r_") and write part ("_w_") carry the
// same keys per direction. Newer facilities add per-bucket extremes that are
// reset on every read ("_stwpb_" beside "_stw_", and so on); where present
// they are reported instead of the extremes since start.
#include "SensorDRIXNodeStat.h"

#include <endian.h>

#include <cstddef>

#include "SensorFactory.h"

namespace {

using StatColumns::column;

// Keys are of the main part for the first three columns; the others name the
// part-local key (the per-bucket key of an extreme) for reference.
constexpr StatColumns::Column nsColumns[] = {
    column("_cl_", "drix_ns_clusters", 13500, DT_UINT_16, SEMTYPE_QUANTITY),
    column("_fs_", "drix_ns_filesys", 13501, DT_UINT_16, SEMTYPE_QUANTITY),
    column("_d_", "drix_ns_disks", 13502, DT_UINT_32, SEMTYPE_QUANTITY),
    column("_ops_", "drix_ns_read_ops", 13503, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_b_", "drix_ns_bytes_read", 13504, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_tw_", "drix_ns_tot_disk_wait_rd", 13505, DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER),
    column("_qt_", "drix_ns_tot_queue_wait_rd", 13506, DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER),
    column("_stwpb_", "drix_ns_min_disk_wait_rd", 13507, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_sqtpb_", "drix_ns_min_queue_wait_rd", 13508, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_ltwpb_", "drix_ns_max_disk_wait_rd", 13509, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_lqtpb_", "drix_ns_max_queue_wait_rd", 13510, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_ops_", "drix_ns_write_ops", 13511, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_b_", "drix_ns_bytes_written", 13512, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_tw_", "drix_ns_tot_disk_wait_wr", 13513, DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER),
    column("_qt_", "drix_ns_tot_queue_wait_wr", 13514, DT_FPMICRO_64, SEMTYPE_TOTALCOUNTER),
    column("_stwpb_", "drix_ns_min_disk_wait_wr", 13515, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_sqtpb_", "drix_ns_min_queue_wait_wr", 13516, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_ltwpb_", "drix_ns_max_disk_wait_wr", 13517, DT_FPMICRO_64, SEMTYPE_QUANTITY),
    column("_lqtpb_", "drix_ns_max_queue_wait_wr", 13518, DT_FPMICRO_64, SEMTYPE_QUANTITY),
};
constexpr auto drixNSMetas = StatColumns::nodeTable(nsColumns);
constexpr uint32_t NUM_METRICS = drixNSMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

// The extremes of one direction in row order: per-bucket key, else the
// plain one.
constexpr const char* extremeKeys[4][2] = {
    {"_stwpb_", "_stw_"}, {"_sqtpb_", "_sqt_"}, {"_ltwpb_", "_ltw_"}, {"_lqtpb_", "_lqt_"}};

constexpr const MetricsMetadata* table = drixNSMetas.data();
static_assert(NUM_METRICS == 22, "");
static_assert(sizeof(DRIXZSData) == 248, "");
static_assert(sizeof(DRIXZSData) == rowLength(table, 0, NUM_METRICS), "");
// Where the read/write block starts in the row.
constexpr std::size_t DISK_AT = offsetof(DRIXZSData, disk);
static_assert(offsetof(DRIXZSData, numClusters) == columnOffset(table, 3), "");
static_assert(offsetof(DRIXZSData, numDisks) == columnOffset(table, 5), "");
static_assert(DISK_AT + offsetof(DRIXPerDiskData, drixNumDiskReadOps) == columnOffset(table, 6),
              "");
static_assert(DISK_AT + offsetof(DRIXPerDiskData, drixMinDiskReadWaitTime) ==
                  columnOffset(table, 10),
              "");
static_assert(DISK_AT + offsetof(DRIXPerDiskData, drixNumDiskWriteOps) == columnOffset(table, 14),
              "");
static_assert(DISK_AT + offsetof(DRIXPerDiskData, drixMaxQueueWriteWaitTime) ==
                  columnOffset(table, 21),
              "");

}  // namespace

SensorDRIXNodeStat::SensorDRIXNodeStat()
    : SensorDRIXNodeBase(table, NUM_METRICS, sensorSize, 1, SensorID::DRIXNS, "tallyq ns",
                         &drixNSMetricData.keys, sizeof drixNSMetricData),
      drixNSMetricData{},
      tallyqPerBucketFieldChecked(false) {}

AbstractSensor* SensorDRIXNodeStat::generate() {
    SensorDRIXNodeStat* sensor = new SensorDRIXNodeStat();
    sensor->tallyqPerBucketFieldChecked = false;
    return sensor;
}

void SensorDRIXNodeStat::fillInMetrics(const std::vector<TallyqRecord>* records) {
    const TallyqRecord& record = records->front();
    char* row = rowBytes();
    uint16_t clusters = 0, filesystems = 0;
    uint32_t disks = 0;
    record.getInt16Main("_cl_", clusters, *log);
    record.getInt16Main("_fs_", filesystems, *log);
    record.getInt32Main("_d_", disks, *log);
    putRaw(row, offsetof(DRIXZSData, numClusters), clusters);
    putRaw(row, offsetof(DRIXZSData, numFilesys), filesystems);
    putRaw(row, offsetof(DRIXZSData, numDisks), disks);
    fillSide(record, false, DISK_AT + offsetof(DRIXPerDiskData, drixNumDiskReadOps));
    fillSide(record, true, DISK_AT + offsetof(DRIXPerDiskData, drixNumDiskWriteOps));
}

void SensorDRIXNodeStat::fillSide(const TallyqRecord& record, bool write, std::size_t offset) {
    auto count = [&](const char* key) {
        uint64_t v = 0;
        if (write)
            record.getInt64Write(key, v, *log);
        else
            record.getInt64Read(key, v, *log);
        return v;
    };
    // The double getter zeroes its output first, so a missing key gives 0.
    auto seconds = [&](const char* key, double& out) {
        return write ? record.getDoubleWrite(key, out, *log) : record.getDoubleRead(key, out, *log);
    };
    auto micros = [](double s) { return htobe64(secondsToMicros(s)); };

    char* row = rowBytes();
    putRaw(row, offset, count("_ops_"));
    putRaw(row, offset + 8, count("_b_"));
    double s = 0;
    seconds("_tw_", s);
    putRaw(row, offset + 16, micros(s));
    seconds("_qt_", s);
    putRaw(row, offset + 24, micros(s));
    for (std::size_t i = 0; i < 4; ++i) {
        const bool perBucket = seconds(extremeKeys[i][0], s);
        if (!perBucket) seconds(extremeKeys[i][1], s);
        if (i == 0 && perBucket && !write && !tallyqPerBucketFieldChecked) {
            log->logInfo(
                "%s provides auto-reset/per-bucket fields (_*pb_) for min./max. queue "
                "time and wait time.",
                TALLYQ_CMD.c_str());
            tallyqPerBucketFieldChecked = true;
        }
        putRaw(row, offset + 32 + 8 * i, micros(s));
    }
}

static volatile RegisterSensorGenerator<SensorDRIXNodeStat> registerSensorDRIXNodeStat(
    SensorID::DRIXNS, SensorDRIXNodeStat::generate);
