// Source: "tallyq wt". After the header record, one "_wti_" record per
// waiting thread: "_wtr_" the wait reason, "_wtar_" its details, "_wot_" the
// type of object waited on (0 condition variable, 1 mutex, 2 delay, 3 system
// call), and the time waited as "_wts_" seconds plus "_wtns_" nanoseconds.
// A waiter counts in every row whose threshold it has reached, so each row
// includes the ones below it.
#include "SensorDRIXWaiters.h"

#include <endian.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FNV1AHash.h"
#include "RowWriter.h"
#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixWaitersMetas[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"waiters_time_threshold", 13010, DT_STRING, WAITERS_LABEL_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_wt_count_all", 14650, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
    {"drix_wt_count_local_io", 14651, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
    {"drix_wt_count_network_io", 14652, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
    {"drix_wt_count_thcond", 14653, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
    {"drix_wt_count_thmutex", 14654, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
    {"drix_wt_count_delay", 14655, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
    {"drix_wt_count_syscall", 14656, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER},
};
constexpr uint32_t NUM_METRICS = sizeof drixWaitersMetas / sizeof drixWaitersMetas[0];
constexpr uint32_t sensorSize[] = {NUM_METRICS};

static_assert(sizeof(waitersData_t) == 184, "");
static_assert(sizeof(waitersData_t) == rowLength(drixWaitersMetas, 0, NUM_METRICS), "");
static_assert(offsetof(waitersData_t, metricKey) == columnOffset(drixWaitersMetas, 3), "");
static_assert(offsetof(waitersData_t, waitersCountAll) == columnOffset(drixWaitersMetas, 4), "");
static_assert(offsetof(waitersData_t, waitersCountSyscall) == columnOffset(drixWaitersMetas, 10),
              "");

constexpr double timeThresholds[WAITERS_ROWS] = {0.0, 0.1, 0.2, 0.5, 1.0, 30.0, 60.0};

// Counter columns in row order: all, local I/O, network I/O, then the four
// wait-object types.
enum Column { ALL, LOCAL_IO, NETWORK_IO, FIRST_TYPE, COLUMNS = FIRST_TYPE + 4 };
static_assert(offsetof(waitersData_t, waitersCountThCond) ==
                  offsetof(waitersData_t, waitersCountAll) + 8 * FIRST_TYPE,
              "");

}  // namespace

SensorDRIXWaiters::SensorDRIXWaiters()
    : NodeChannelSensor(SensorID::DRIXWaiters, drixWaitersMetas, NUM_METRICS, sensorSize, 1,
                        "tallyq wt"),
      dataSet{0, sizeof(waitersData_t), nullptr} {
    dataVector.reserve(WAITERS_ROWS);
}

AbstractSensor* SensorDRIXWaiters::generate() { return new SensorDRIXWaiters(); }

const dataSet_t* SensorDRIXWaiters::getMetricData() {
    dataSet.numSets = 0;
    std::unique_ptr<TallyqResponse> reply =
        DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
    if (reply == nullptr) {
        sourcePrevOK = sourceOK;
        return &dataSet;
    }
    uint32_t counts[COLUMNS][WAITERS_ROWS] = {};
    const RecordList_t& records = reply->getRecordList();
    for (std::size_t i = 1; i < records.size(); ++i) {
        const TallyqRecord& record = records[i];
        const char* reason = record.getStrMain("_wtr_", *log);
        const char* details = record.getStrMain("_wtar_", *log);
        if (reason == nullptr) {
            log->logInfo("Input error, waitReason is null, skipping record entry");
            continue;
        }
        if (details == nullptr) {
            log->logInfo("Input error, waitReasonDetails is null, skipping entry");
            continue;
        }
        uint16_t type = 0;
        uint64_t seconds = 0, nanos = 0;
        record.getInt16Main("_wot_", type, *log);
        record.getInt64Main("_wts_", seconds, *log);
        record.getInt64Main("_wtns_", nanos, *log);
        type = be16toh(type);
        const double waited = static_cast<double>(be64toh(seconds)) +
                              static_cast<double>(be64toh(nanos)) / 1000000000.0;
        int io = -1;
        if (std::strstr(reason, "RPC wait") != nullptr)
            io = NETWORK_IO;
        else if (std::strstr(details, "for I/O completion") != nullptr)
            io = LOCAL_IO;
        for (uint32_t t = 0; t < WAITERS_ROWS; ++t) {
            if (!(waited >= timeThresholds[t])) continue;
            ++counts[ALL][t];
            if (type < 4) ++counts[FIRST_TYPE + type][t];
            if (io >= 0) ++counts[io][t];
        }
    }

    dataVector.clear();
    const std::string& sensor = getName();
    for (uint32_t t = 0; t < WAITERS_ROWS; ++t) {
        waitersData_t row{};
        safeStrncpy(row.nodeName, nodeName, sizeof row.nodeName);
        safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);
        if (t == 0)
            safeStrncpy(row.thresholdTime, "all", sizeof row.thresholdTime);
        else
            std::snprintf(row.thresholdTime, sizeof row.thresholdTime, "%.1fs", timeThresholds[t]);
        const MetricKey key{nodeID, FNV1AHash32(row.thresholdTime, sizeof row.thresholdTime),
                            static_cast<uint16_t>(sensorID), 0};
        writeMetricKey(reinterpret_cast<char*>(&row) + offsetof(waitersData_t, metricKey), key);
        char* counters = reinterpret_cast<char*>(&row) + offsetof(waitersData_t, waitersCountAll);
        for (int c = 0; c < COLUMNS; ++c) {
            const uint64_t be = htobe64(counts[c][t]);
            std::memcpy(counters + 8 * c, &be, sizeof be);
        }
        dataVector.append(row);
    }
    dataVector.publish(dataSet);
    sourcePrevOK = sourceOK;
    return &dataSet;
}

static volatile RegisterSensorGenerator<SensorDRIXWaiters> registerSensorSensorDRIXWaiters(
    SensorID::DRIXWaiters, SensorDRIXWaiters::generate);
