// Source: "tallyq vfss". Each operation's main-part key carries its count and
// its total time in seconds ("_read_ 12 0.25"); times are reported in whole
// microseconds, rounded half up.
#include "SensorDRIXVFS.h"

#include <arpa/inet.h>
#include <endian.h>

#include <cstddef>

#include "SensorFactory.h"

namespace {

using namespace DRIXVFSOps;

constexpr uint32_t NUM_METRICS = 3 + 2 * NUM_OPS;

// Counts 13023 to 13069; times 13150 to 13242 in steps of 2.
constexpr std::array<MetricsMetadata, NUM_METRICS> buildTable() {
    auto t = StatColumns::nodeHeader<NUM_METRICS>();
    for (uint32_t n = 0; n < NUM_OPS; ++n) {
        const char* word = n == GET_DENTRY ? "detDentry" : operations[n].word;
        const uint16_t type = n == VGET ? DT_UINT_64 : DT_UINT_32;
        t[3 + n] = StatColumns::metric("drix_vfs_", word, "", 13023 + n, type,
                                       StatColumns::widthOf(type), SEMTYPE_TOTALCOUNTER);
        t[3 + NUM_OPS + n] =
            StatColumns::metric("drix_vfs_", operations[n].word, "_t", 13150 + 2 * n, DT_FPMICRO_64,
                                8, SEMTYPE_TOTALCOUNTER);
    }
    return t;
}
constexpr std::array<MetricsMetadata, NUM_METRICS> drixVFSMetas = buildTable();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(NUM_METRICS == 97, "");
static_assert(sizeof(DRIXVFSData) == 680, "");
static_assert(sizeof(DRIXVFSData) == rowLength(drixVFSMetas.data(), 0, NUM_METRICS), "");
static_assert(offsetof(DRIXVFSData, drixVFSCount) == columnOffset(drixVFSMetas.data(), 3), "");
static_assert(offsetof(DRIXVFSData, drixVFSVget) == columnOffset(drixVFSMetas.data(), 3 + VGET),
              "");
static_assert(offsetof(DRIXVFSData, drixVFSTime) == columnOffset(drixVFSMetas.data(), 3 + NUM_OPS),
              "");

}  // namespace

SensorDRIXVFS::SensorDRIXVFS()
    : SensorDRIXNodeBase(drixVFSMetas.data(), NUM_METRICS, sensorSize, 1, SensorID::DRIXVFS,
                         "tallyq vfss", &drixVFSMetricData.keys, sizeof drixVFSMetricData),
      drixVFSMetricData{} {}

AbstractSensor* SensorDRIXVFS::generate() { return new SensorDRIXVFS(); }

void SensorDRIXVFS::fillInMetrics(const std::vector<TallyqRecord>* records) {
    const TallyqRecord& record = records->front();
    char* row = rowBytes();
    for (uint32_t n = 0; n < NUM_OPS; ++n) {
        uint32_t count = 0;
        uint64_t micros = 0;
        record.getIntFP64PairMain(operations[n].key, count, micros, *log);
        if (n == VGET) {
            // The getter hands the count back in network order; widen the
            // number itself, not its bytes.
            putRaw(row, offsetof(DRIXVFSData, drixVFSVget), htobe64(ntohl(count)));
        } else {
            putRaw(row, offsetof(DRIXVFSData, drixVFSCount) + 4 * n, count);
        }
        putRaw(row, offsetof(DRIXVFSData, drixVFSTime) + 8 * n, micros);
    }
}

static volatile RegisterSensorGenerator<SensorDRIXVFS> registerSensorDRIXVFS(
    SensorID::DRIXVFS, SensorDRIXVFS::generate);
