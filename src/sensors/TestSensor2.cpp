// Test-only sensor with two virtual sensors and deterministic values, so the
// controller, the IPFIX export and the daemon can be tested with several
// templates and several rows per sample. Built only with VELMAR_TEST_SENSORS.
//
// Virtual sensor 0, three rows (180 bytes each), keyed by test2_name
// ("alpha", "beta", "gamma"): node, sensor, test2_name, metric key (cluster id
// = FNV-1a of the 64-byte name field), then
//   test2_row_value  u32  sample number x 10 + row index
// Virtual sensor 1, one row (120 bytes): node, sensor, metric key, then
//   test2_total      u64  sum of the row values of this sample
#include <arpa/inet.h>
#include <endian.h>

#include <cstring>

#include "AbstractSensor.h"
#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata METRICS[] = {
    // Virtual sensor 0.
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"test2_name", 5901, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"test2_row_value", 5902, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    // Virtual sensor 1.
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"test2_total", 5903, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t NUM_METRICS = sizeof(METRICS) / sizeof(METRICS[0]);
constexpr uint32_t VIRT_SENSOR_COUNTS[] = {5, 4};
constexpr uint32_t NUM_VIRT_SENSORS = 2;
constexpr uint32_t NUM_KEYED_ROWS = 3;
const char* const ROW_NAMES[NUM_KEYED_ROWS] = {"alpha", "beta", "gamma"};

struct KeyedRow {
    char node[ROW_NODE_LEN];
    char sensor[ROW_SENSOR_LEN];
    char name[64];
    char metricKey[ROW_METRIC_KEY_LEN];
    uint32_t value;
} __attribute__((packed));

struct TotalRow {
    char node[ROW_NODE_LEN];
    char sensor[ROW_SENSOR_LEN];
    char metricKey[ROW_METRIC_KEY_LEN];
    uint64_t total;
} __attribute__((packed));

static_assert(sizeof(KeyedRow) == 180, "");
static_assert(sizeof(TotalRow) == 120, "");
static_assert(sizeof(KeyedRow) == rowLength(METRICS, 0, 5), "row layout follows the table");
static_assert(sizeof(TotalRow) == rowLength(METRICS, 5, 4), "row layout follows the table");

class SensorTest2 : public AbstractSensor {
  public:
    SensorTest2()
        : AbstractSensor(SensorID::TestSensor2, METRICS, NUM_METRICS, VIRT_SENSOR_COUNTS,
                         NUM_VIRT_SENSORS, 1000000) {
        std::memset(rows, 0, sizeof rows);
        std::memset(&total, 0, sizeof total);
        dataSets[0] = {0, sizeof(KeyedRow), reinterpret_cast<const char*>(rows)};
        dataSets[1] = {0, sizeof(TotalRow), reinterpret_cast<const char*>(&total)};
    }

    static AbstractSensor* generate() { return new SensorTest2(); }

    int32_t init() override {
        const uint32_t nodeID = getNodeID(total.node, ROW_NODE_LEN);
        safeStrncpy(total.sensor, getName().c_str(), ROW_SENSOR_LEN);
        MetricKey key = {nodeID, 0, SensorID::TestSensor2, 0};
        writeMetricKey(total.metricKey, key);
        for (uint32_t i = 0; i < NUM_KEYED_ROWS; ++i) {
            KeyedRow& row = rows[i];
            std::memcpy(row.node, total.node, ROW_NODE_LEN);
            std::memcpy(row.sensor, total.sensor, ROW_SENSOR_LEN);
            safeStrncpy(row.name, ROW_NAMES[i], sizeof row.name);
            key.metricClusterID = FNV1AHash32(row.name, sizeof row.name);
            writeMetricKey(row.metricKey, key);
        }
        return 0;
    }

    const dataSet_t* getMetricData() override {
        ++samples;
        uint64_t sum = 0;
        for (uint32_t i = 0; i < NUM_KEYED_ROWS; ++i) {
            const uint32_t value = static_cast<uint32_t>(samples * 10 + i);
            rows[i].value = htonl(value);
            sum += value;
        }
        total.total = htobe64(sum);
        dataSets[0].numSets = NUM_KEYED_ROWS;
        dataSets[1].numSets = 1;
        return dataSets;
    }

    int32_t getStatus() override { return 0; }
    int32_t shutdown() override { return 0; }

  private:
    KeyedRow rows[NUM_KEYED_ROWS];
    TotalRow total;
    dataSet_t dataSets[NUM_VIRT_SENSORS];
    uint64_t samples = 0;
};

RegisterSensorGenerator<SensorTest2> registerSensorTest2(SensorID::TestSensor2,
                                                         SensorTest2::generate);

}  // namespace
