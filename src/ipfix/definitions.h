// Shared definitions through which every sensor describes its metrics and
// hands its data to the controller: data types and semantics, the metric table
// row, the data set, the metric key, the status record and the columns that
// begin every data row. Plain records; their layouts are fixed below because
// metadata rows travel unchanged as IPFIX records and metric keys are copied
// into data rows byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "sensorIDs.h"

// How a metric's bytes in a data row are read. Numbers in data rows are
// big-endian, except the metric key. Stored as a u16 in MetricsMetadata.
enum DataTypeID : int32_t {
    DT_ZERO = 0,
    DT_UINT_8 = 1,
    DT_UINT_16 = 2,
    DT_UINT_32 = 3,
    DT_UINT_64 = 4,
    DT_INT_8 = 10,
    DT_INT_16 = 11,
    DT_INT_32 = 12,
    DT_INT_64 = 13,
    DT_FPCENTI_32 = 15,  // value x 100, unsigned 32-bit
    DT_FPMICRO_64 = 16,  // value x 1000000, 64-bit
    DT_FLOAT_32 = 20,
    DT_FLOAT_64 = 21,
    DT_FLOAT_80 = 22,
    DT_FLOAT_128 = 23,
    DT_STRING = 30,         // fixed width, NUL-terminated and NUL-padded
    DT_METRIC_KEY_96 = 40,  // a MetricKey, in host byte order
    DT_REPORT = 41,         // a run of fixed-size records (e.g. IPFIXTopProcType)
    DT_PER_MIL = 42,
};

// How a collector treats a metric's values over time. Stored as a u16 in
// MetricsMetadata.
enum SemanticType : int32_t {
    SEMTYPE_UNKNOWN = 0,
    SEMTYPE_QUANTITY = 1,
    SEMTYPE_TOTALCOUNTER = 2,
    SEMTYPE_IDENTIFIER = 3,
    SEMTYPE_KEY = 4,
    SEMTYPE_REPORT = 5,
    SEMTYPE_REPORT_KEY = 6,
    SEMTYPE_REPORT_OBS_INTERVAL = 7,
    SEMTYPE_DELTACOUNTER = 8,
};

constexpr size_t METRIC_NAME_LEN = 40;

// One row of a sensor's constant metric table. Sensors write the four numbers
// in host order; the copy held by AbstractSensor is in network order and is
// then exactly an IPFIX record of the metadata template.
struct MetricsMetadata {
    char metricName[METRIC_NAME_LEN];  // at most 39 characters, NUL-padded
    uint16_t metricID;                 // unique in the system; the IPFIX field type
    uint16_t metricType;               // a DataTypeID
    uint16_t metricLen;                // bytes of the field in a data row
    uint16_t metricSemantic;           // a SemanticType
};

static_assert(sizeof(MetricsMetadata) == 48, "MetricsMetadata is a 48-byte IPFIX record");
static_assert(offsetof(MetricsMetadata, metricName) == 0, "");
static_assert(offsetof(MetricsMetadata, metricID) == 40, "");
static_assert(offsetof(MetricsMetadata, metricType) == 42, "");
static_assert(offsetof(MetricsMetadata, metricLen) == 44, "");
static_assert(offsetof(MetricsMetadata, metricSemantic) == 46, "");

inline bool operator==(const MetricsMetadata& a, const MetricsMetadata& b) {
    return std::strncmp(a.metricName, b.metricName, METRIC_NAME_LEN) == 0 &&
           a.metricID == b.metricID && a.metricType == b.metricType && a.metricLen == b.metricLen &&
           a.metricSemantic == b.metricSemantic;
}
inline bool operator!=(const MetricsMetadata& a, const MetricsMetadata& b) { return !(a == b); }
// Name first, then the four numbers in field order.
inline bool operator<(const MetricsMetadata& a, const MetricsMetadata& b) {
    int c = std::strncmp(a.metricName, b.metricName, METRIC_NAME_LEN);
    if (c != 0) return c < 0;
    return std::tie(a.metricID, a.metricType, a.metricLen, a.metricSemantic) <
           std::tie(b.metricID, b.metricType, b.metricLen, b.metricSemantic);
}

// The unit of data a sensor hands to the controller, one per virtual sensor.
// The rows stay owned by the sensor; the controller reads them before it asks
// the same sensor for the next sample.
struct dataSet_t {
    uint32_t numSets;    // rows
    uint32_t setLength;  // bytes per row: the sum of metricLen over the virtual sensor
    const char* data;    // rows back to back, numbers big-endian, metric-table order
};

static_assert(offsetof(dataSet_t, numSets) == 0, "");
static_assert(offsetof(dataSet_t, setLength) == 4, "");
static_assert(offsetof(dataSet_t, data) == 8, "");
static_assert(sizeof(dataSet_t) == 16, "");

// The 96-bit key of one row's series, the `metric_key` column of every row.
// It is copied into rows in host byte order: readers treat it as opaque.
struct MetricKey {
    uint32_t nodeID;           // FNV1AHash32 of the whole 64-byte node field
    uint32_t metricClusterID;  // 0 for one row per sample, else hash of the key strings
    uint16_t sensorID;         // the sensor's SensorID
    uint16_t metricID;         // 0
};

static_assert(sizeof(MetricKey) == 12, "MetricKey fills a 12-byte DT_METRIC_KEY_96 field");
static_assert(offsetof(MetricKey, nodeID) == 0, "");
static_assert(offsetof(MetricKey, metricClusterID) == 4, "");
static_assert(offsetof(MetricKey, sensorID) == 8, "");
static_assert(offsetof(MetricKey, metricID) == 10, "");

inline bool operator==(const MetricKey& a, const MetricKey& b) {
    return a.nodeID == b.nodeID && a.metricClusterID == b.metricClusterID &&
           a.sensorID == b.sensorID && a.metricID == b.metricID;
}
inline bool operator!=(const MetricKey& a, const MetricKey& b) { return !(a == b); }
inline bool operator<(const MetricKey& a, const MetricKey& b) {
    return std::tie(a.nodeID, a.metricClusterID, a.sensorID, a.metricID) <
           std::tie(b.nodeID, b.metricClusterID, b.sensorID, b.metricID);
}
inline bool operator>(const MetricKey& a, const MetricKey& b) { return b < a; }

// Writes a key into a row's 12-byte metric_key field, unconverted.
inline void writeMetricKey(char* field, const MetricKey& key) {
    std::memcpy(field, &key, sizeof key);
}

// What a sensor thread reports about its sensor; times are wall-clock
// milliseconds (or the logical clock of load tests).
struct sensorStatus {
    int32_t errCode;          // getStatus(), 0 when the sensor is well
    uint32_t numReports;      // samples delivered
    uint64_t firstTimeStamp;  // time of the first sample, 0 before it
    uint64_t curTimeStamp;    // time of the latest sample
};

static_assert(sizeof(sensorStatus) == 24, "");
static_assert(offsetof(sensorStatus, errCode) == 0, "");
static_assert(offsetof(sensorStatus, numReports) == 4, "");
static_assert(offsetof(sensorStatus, firstTimeStamp) == 8, "");
static_assert(offsetof(sensorStatus, curTimeStamp) == 16, "");

// Columns that begin every metric table and every data row: node, sensor, the
// sensor's own key strings if any, then the metric key. Metric numbers 102 to
// 105 belong to the metadata template and are not used in metric tables.
constexpr uint16_t METRIC_ID_NODE = 100;
constexpr uint16_t METRIC_ID_SENSOR = 101;
constexpr uint16_t METRIC_ID_METRIC_KEY = 106;
constexpr uint16_t ROW_NODE_LEN = 64;
constexpr uint16_t ROW_SENSOR_LEN = 36;
constexpr uint16_t ROW_METRIC_KEY_LEN = sizeof(MetricKey);

constexpr MetricsMetadata ROW_HEADER_NODE = {"node", METRIC_ID_NODE, DT_STRING, ROW_NODE_LEN,
                                             SEMTYPE_IDENTIFIER};
constexpr MetricsMetadata ROW_HEADER_SENSOR = {"sensor", METRIC_ID_SENSOR, DT_STRING,
                                               ROW_SENSOR_LEN, SEMTYPE_IDENTIFIER};
constexpr MetricsMetadata ROW_HEADER_METRIC_KEY = {
    "metric_key", METRIC_ID_METRIC_KEY, DT_METRIC_KEY_96, ROW_METRIC_KEY_LEN, SEMTYPE_KEY};

// Bytes of `count` table rows from `first` on: the row length of a virtual
// sensor, for checking a sensor's row layout against its table at compile time.
constexpr uint32_t rowLength(const MetricsMetadata* table, uint32_t first, uint32_t count) {
    uint32_t sum = 0;
    for (uint32_t i = first; i < first + count; ++i) sum += table[i].metricLen;
    return sum;
}
