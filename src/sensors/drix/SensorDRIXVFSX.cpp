// Source: "tallyq vfssx". Each operation's main-part key carries its count and
// its total, shortest and longest time in seconds; times are reported in
// whole microseconds, rounded half up.
#include "SensorDRIXVFSX.h"

#include <arpa/inet.h>
#include <endian.h>

#include <cstddef>

#include "SensorFactory.h"

namespace {

using namespace DRIXVFSOps;

constexpr uint32_t NUM_METRICS = 3 + 4 * NUM_OPS;

// Four id runs in steps of 1, starting at 14875, 14925, 14975 and 15025.
constexpr std::array<MetricsMetadata, NUM_METRICS> buildTable() {
    auto t = StatColumns::nodeHeader<NUM_METRICS>();
    const char* const suffix[] = {"_t", "_tmin", "_tmax"};
    for (uint32_t n = 0; n < NUM_OPS; ++n) {
        const uint16_t type = n == VGET ? DT_UINT_64 : DT_UINT_32;
        t[3 + n] = StatColumns::metric("drix_vfsx_", operations[n].word, "", 14875 + n, type,
                                       StatColumns::widthOf(type), SEMTYPE_QUANTITY);
        for (uint32_t b = 0; b < 3; ++b) {
            t[3 + (b + 1) * NUM_OPS + n] =
                StatColumns::metric("drix_vfsx_", operations[n].word, suffix[b], 14925 + 50 * b + n,
                                    DT_FPMICRO_64, 8, SEMTYPE_QUANTITY);
        }
    }
    return t;
}
constexpr std::array<MetricsMetadata, NUM_METRICS> drixVFSXMetas = buildTable();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

constexpr const MetricsMetadata* table = drixVFSXMetas.data();
static_assert(NUM_METRICS == 191, "");
static_assert(sizeof(DRIXVFSXData) == 1432, "");
static_assert(sizeof(DRIXVFSXData) == rowLength(table, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXVFSXData, drixVFSXCount) == columnOffset(table, 3), "");
static_assert(offsetof(DRIXVFSXData, drixVFSXVget) == columnOffset(table, 3 + VGET), "");
static_assert(offsetof(DRIXVFSXData, drixVFSXTime) == columnOffset(table, 3 + NUM_OPS), "");
static_assert(offsetof(DRIXVFSXData, drixVFSXTimeMin) == columnOffset(table, 3 + 2 * NUM_OPS), "");
static_assert(offsetof(DRIXVFSXData, drixVFSXTimeMax) == columnOffset(table, 3 + 3 * NUM_OPS), "");

}  // namespace

SensorDRIXVFSX::SensorDRIXVFSX()
    : SensorDRIXNodeBase(table, NUM_METRICS, sensorSize, 1, SensorID::DRIXVFSX, "tallyq vfssx",
                         &drixVFSXMetricData.keys, sizeof drixVFSXMetricData),
      drixVFSXMetricData{} {}

AbstractSensor* SensorDRIXVFSX::generate() { return new SensorDRIXVFSX(); }

void SensorDRIXVFSX::fillInMetrics(const std::vector<TallyqRecord>* records) {
    const TallyqRecord& record = records->front();
    char* row = rowBytes();
    for (uint32_t n = 0; n < NUM_OPS; ++n) {
        uint32_t count = 0;
        uint64_t total = 0, shortest = 0, longest = 0;
        record.getIntFPFPFP64QuadMain(operations[n].key, count, total, shortest, longest, *log);
        if (n == VGET) {
            // Network-order count widened as a number, not as bytes.
            putRaw(row, offsetof(DRIXVFSXData, drixVFSXVget), htobe64(ntohl(count)));
        } else {
            putRaw(row, offsetof(DRIXVFSXData, drixVFSXCount) + 4 * n, count);
        }
        putRaw(row, offsetof(DRIXVFSXData, drixVFSXTime) + 8 * n, total);
        putRaw(row, offsetof(DRIXVFSXData, drixVFSXTimeMin) + 8 * n, shortest);
        putRaw(row, offsetof(DRIXVFSXData, drixVFSXTimeMax) + 8 * n, longest);
    }
}

static volatile RegisterSensorGenerator<SensorDRIXVFSX> registerSensorDRIXVFSX(
    SensorID::DRIXVFSX, SensorDRIXVFSX::generate);
