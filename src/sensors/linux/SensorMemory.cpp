// Reads /proc/meminfo: lines "Key:   value kB". The values are reported in
// the file's own unit, kB for every line read here. "MemAvailable" exists
// since Linux 3.14; older kernels report 0 for it.
#include "SensorMemory.h"

#include <cstring>

#include "SensorFactory.h"
#include "hostMetricIDs.h"

namespace {

constexpr MetricsMetadata memMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    ROW_HEADER_METRIC_KEY,
    {"mem_memtotal", MetricID::mem_memtotal, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_memfree", MetricID::mem_memfree, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_available", MetricID::mem_available, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_buffers", MetricID::mem_buffers, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_cached", MetricID::mem_cached, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_swapcached", MetricID::mem_swapcached, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_active", MetricID::mem_active, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_inactive", MetricID::mem_inactive, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_active_anon", MetricID::mem_active_anon, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_inactive_anon", MetricID::mem_inactive_anon, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_active_file", MetricID::mem_active_file, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_inactive_file", MetricID::mem_inactive_file, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_unevictable", MetricID::mem_unevictable, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_mlocked", MetricID::mem_mlocked, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_swaptotal", MetricID::mem_swaptotal, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_swapfree", MetricID::mem_swapfree, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"mem_dirty", MetricID::mem_dirty, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t NUM_METRICS = sizeof memMetas / sizeof memMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

enum Column : uint32_t { COL_VALUES = 3 };

// The /proc/meminfo key of each value column, in table order from COL_VALUES.
constexpr std::string_view memKeys[] = {
    "MemTotal",    "MemFree",  "MemAvailable", "Buffers",        "Cached",       "SwapCached",
    "Active",      "Inactive", "Active(anon)", "Inactive(anon)", "Active(file)", "Inactive(file)",
    "Unevictable", "Mlocked",  "SwapTotal",    "SwapFree",       "Dirty",
};

static_assert(rowLength(memMetas, 0, NUM_METRICS) == SensorMemory::ROW_LEN,
              "record length follows the table");
constexpr uint32_t NUM_KEYS = sizeof memKeys / sizeof memKeys[0];

static_assert(COL_VALUES + NUM_KEYS == NUM_METRICS, "one /proc/meminfo key per value column");
static_assert(memMetas[COL_VALUES].metricID == MetricID::mem_memtotal, "");
static_assert(memMetas[COL_VALUES + 2].metricID == MetricID::mem_available, "");

// Calls onPair(key, value) for every "key: value" pair of the text, in order,
// whose key wanted(key) accepts.
template <class Wanted, class OnPair>
void forEachMeminfoPair(std::string_view text, Wanted&& wanted, OnPair&& onPair) {
    std::string_view line;
    while (ProcText::nextLine(text, line)) {
        // A line may in principle hold several "key: value" pairs; the rest
        // of a normal line (" kB") holds no further number.
        while (!line.empty()) {
            const size_t colon = line.find(':');
            const std::string_view key = line.substr(0, colon);
            if (colon == std::string_view::npos) break;
            line.remove_prefix(colon + 1);
            const bool want = wanted(key);
            // Without a further ':' no other pair follows, and the number of
            // an unwanted key need not be read.
            if (!want && line.find(':') == std::string_view::npos) break;
            int64_t value = 0;
            if (!ProcText::readI64(line, value)) break;
            if (want) onPair(key, value);
        }
    }
}

}  // namespace

void parseMeminfo(std::string_view text, MeminfoValues& values) {
    forEachMeminfoPair(
        text, [](std::string_view) { return true; },
        [&values](std::string_view key, int64_t value) {
            auto it = values.find(key);
            if (it == values.end()) {
                values.emplace(std::string(key), value);
            } else {
                it->second = value;
            }
        });
}

SensorMemory::SensorMemory()
    : ProcRowSensor(SensorID::Memory, memMetas, NUM_METRICS, sensorSize, "/proc/meminfo") {}

AbstractSensor* SensorMemory::generate() { return new SensorMemory(); }

const dataSet_t* SensorMemory::getMetricData() {
    dataSet.numSets = 0;
    std::string_view text;
    if (!inFile.read(text)) return &dataSet;
    // The kernel writes the keys read here in table order, so the key after
    // the last one found is tried first: no map built afresh per sample, and
    // a line read here mostly matches at the first comparison.
    int64_t values[NUM_KEYS] = {};
    uint32_t next = 0;
    uint32_t found = 0;
    forEachMeminfoPair(
        text,
        [&next, &found](std::string_view key) {
            if (key == memKeys[next]) {
                found = next;
            } else {
                // Length and first character rule out most keys without a
                // call to compare the rest.
                uint32_t i = 0;
                while (i < NUM_KEYS && (key.size() != memKeys[i].size() ||
                                        key[0] != memKeys[i][0] || key != memKeys[i]))
                    ++i;
                if (i == NUM_KEYS) return false;
                found = i;
            }
            next = found + 1 < NUM_KEYS ? found + 1 : 0;
            return true;
        },
        [&values, &found](std::string_view, int64_t value) { values[found] = value; });
    for (uint32_t i = 0; i < NUM_KEYS; ++i) {
        writer.putNumber(row, COL_VALUES + i, static_cast<uint64_t>(values[i]));
    }
    dataSet.numSets = 1;
    return &dataSet;
}

static RegisterSensorGenerator<SensorMemory> registerSensorMemory(SensorID::Memory,
                                                                  SensorMemory::generate);
