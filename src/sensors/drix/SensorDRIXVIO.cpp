// Source: "tallyq vios", one main-part key per kind of virtual-disk
// operation. The keys of the nine further counts that SensorDRIXVIO64
// reports are ignored here.
#include "SensorDRIXVIO.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

using namespace DRIXVIOOps;

constexpr std::array<StatColumns::Column, NUM_KINDS> buildColumns() {
    std::array<StatColumns::Column, NUM_KINDS> t{};
    putKinds(t, 0, "drix_vio_", 13600, DT_UINT_32);
    return t;
}
constexpr std::array<StatColumns::Column, NUM_KINDS> vioColumns = buildColumns();

constexpr auto drixVIOMetas = StatColumns::nodeTable(vioColumns);
constexpr uint32_t NUM_METRICS = drixVIOMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(NUM_METRICS == 15, "");
static_assert(sizeof(DRIXVIOData) == 160, "");
static_assert(sizeof(DRIXVIOData) == rowLength(drixVIOMetas.data(), 0, NUM_METRICS), "");
static_assert(offsetof(DRIXVIOData, r) == columnOffset(drixVIOMetas.data(), 3), "");
static_assert(offsetof(DRIXVIOData, meta) == columnOffset(drixVIOMetas.data(), 14), "");

}  // namespace

SensorDRIXVIO::SensorDRIXVIO()
    : SensorDRIXNodeBase(drixVIOMetas.data(), NUM_METRICS, sensorSize, 1, SensorID::DRIXVIO,
                         "tallyq vios", &drixVIOMetricData.keys, sizeof drixVIOMetricData),
      drixVIOMetricData{} {}

AbstractSensor* SensorDRIXVIO::generate() { return new SensorDRIXVIO(); }

void SensorDRIXVIO::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), vioColumns.data(), vioColumns.size());
}

static volatile RegisterSensorGenerator<SensorDRIXVIO> registerSensorDRIXVIO(
    SensorID::DRIXVIO, SensorDRIXVIO::generate);
