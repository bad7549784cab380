// The common code of the twin lock sensors "DRIXMutex" and "DRIXCondvar":
// one row per named lock (condition variable) with how often it was
// acquired (waited on) and the total time spent in it. They differ only in
// the words of their Traits: identity, request line, the operation they
// accept and their messages.
//
// Traits provide: ID; REQUEST; SKIP ("... \"%s\" ..."); BAD; accepts(op); and
// the three fields of Row after its header as `name`, `count` and `time`
// through set(row, name, countBE, timeBE).
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "DirectStat.h"
#include "FNV1AHash.h"
#include "StatChannelSensor.h"

// Width of the name field of a lock row.
constexpr uint32_t LOCK_NAME_LEN = 32;

template <class Row, class Traits>
class SensorDRIXLockStat : public NodeChannelSensor {
  public:
    const dataSet_t* getMetricData() override;

  protected:
    SensorDRIXLockStat(const MetricsMetadata* metas, uint32_t numMetas, const uint32_t* groups)
        : NodeChannelSensor(Traits::ID, metas, numMetas, groups, 1, Traits::REQUEST),
          dataSet{0, sizeof(Row), nullptr} {}

  private:
    // Touched by the sensor's thread only.
    dataSet_t dataSet;
    DirectStat::AppendedRows<Row> dataVector;
};

template <class Row, class Traits>
const dataSet_t* SensorDRIXLockStat<Row, Traits>::getMetricData() {
    dataVector.clear();
    dataSet = {0, sizeof(Row), nullptr};
    std::unique_ptr<TallyqResponse> reply =
        DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
    if (reply != nullptr) {
        const RecordList_t& records = reply->getRecordList();
        // The first record carries only the return code.
        for (std::size_t i = 1; i < records.size(); ++i) {
            const TallyqRecord& record = records[i];
            const char* op = record.getStrMain("_op_", *log);
            if (op == nullptr) {
                log->logWarning(Traits::SKIP, "_op_");
                continue;
            }
            if (!Traits::accepts(op)) continue;
            Row row{};
            safeStrncpy(row.nodeName, nodeName, sizeof row.nodeName);
            safeStrncpy(row.sensorName, getName().c_str(), sizeof row.sensorName);
            const char* name = record.getStrMain("_nm_", *log);
            if (name == nullptr) {
                log->logWarning(Traits::SKIP, "_nm_");
                continue;
            }
            char field[LOCK_NAME_LEN];
            safeStrncpy(field, name, sizeof field);
            const MetricKey key{nodeID, FNV1AHash32(field, sizeof field),
                                static_cast<uint16_t>(sensorID), 0};
            writeMetricKey(reinterpret_cast<char*>(&row) + offsetof(Row, metricKey), key);
            uint64_t count = 0;
            double seconds = 0;
            const bool countRead = record.getInt64Main("_cnt_", count, *log);
            const bool timeRead = record.getDoubleMain("_sec_", seconds, *log);
            if (!countRead || !timeRead) {
                log->logError("%s", Traits::BAD);
                continue;
            }
            Traits::set(row, field, count, DirectStat::microsBE(seconds));
            dataVector.append(row);
        }
        dataVector.publish(dataSet);
    }
    sourcePrevOK = sourceOK;
    return &dataSet;
}
