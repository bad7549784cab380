// Test-only sensor with one row per sample and deterministic values, so the
// controller, the IPFIX export and the daemon can be tested end to end. Built
// only with VELMAR_TEST_SENSORS.
//
// Row (128 bytes): node, sensor, metric key, then
//   test1_samples  u64  samples taken so far, 1 for the first
//   test1_constant u32  always 42
//   test1_percent  FPCENTI_32  always 12.34 %, written 1234
#include <arpa/inet.h>
#include <endian.h>

#include <cstring>

#include "AbstractSensor.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata METRICS[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"test1_samples", 5801, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"test1_constant", 5802, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"test1_percent", 5803, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
};
constexpr uint32_t NUM_METRICS = sizeof(METRICS) / sizeof(METRICS[0]);
constexpr uint32_t VIRT_SENSOR_COUNTS[] = {NUM_METRICS};

struct Row {
    char node[ROW_NODE_LEN];
    char sensor[ROW_SENSOR_LEN];
    char metricKey[ROW_METRIC_KEY_LEN];
    uint64_t samples;
    uint32_t constant;
    uint32_t percent;
} __attribute__((packed));

static_assert(sizeof(Row) == 128, "");
static_assert(sizeof(Row) == rowLength(METRICS, 0, NUM_METRICS), "row layout follows the table");
static_assert(offsetof(Row, samples) == 112, "");

class SensorTest1 : public AbstractSensor {
  public:
    SensorTest1()
        : AbstractSensor(SensorID::TestSensor1, METRICS, NUM_METRICS, VIRT_SENSOR_COUNTS, 1,
                         1000000) {
        std::memset(&row, 0, sizeof row);
        dataSet = {0, sizeof(Row), reinterpret_cast<const char*>(&row)};
    }

    static AbstractSensor* generate() { return new SensorTest1(); }

    int32_t init() override {
        MetricKey key = {getNodeID(row.node, ROW_NODE_LEN), 0, SensorID::TestSensor1, 0};
        safeStrncpy(row.sensor, getName().c_str(), ROW_SENSOR_LEN);
        writeMetricKey(row.metricKey, key);
        return 0;
    }

    const dataSet_t* getMetricData() override {
        ++samples;
        row.samples = htobe64(samples);
        row.constant = htonl(42);
        row.percent = htonl(1234);
        dataSet.numSets = 1;
        return &dataSet;
    }

    int32_t getStatus() override { return 0; }
    int32_t shutdown() override { return 0; }

  private:
    Row row;
    dataSet_t dataSet;
    uint64_t samples = 0;
};

RegisterSensorGenerator<SensorTest1> registerSensorTest1(SensorID::TestSensor1,
                                                         SensorTest1::generate);

}  // namespace
