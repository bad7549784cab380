// The shape shared by the statistics sensors that report one row per
// filesystem record and are built straight on NodeChannelSensor (filesystem
// I/O, pool I/O, filesystem API): one request per sample, the common reply
// checks, a row array reused while the record count stays, zeroed in every
// sample, and keys from the record's "_cl_" and "_fs_" strings. The derived
// sensor fills each row from its record.
//
// A sensor is made by its generator and owned by the controller block that
// runs it; every operation runs on the sensor's own thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "DirectStat.h"
#include "FNV1AHash.h"
#include "KeySet.h"
#include "StatChannelSensor.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace FsRows {
inline const std::string CLUSTER = "_cl_";
inline const std::string FILESYSTEM = "_fs_";
}  // namespace FsRows

template <class Row>
class FsRowsSensor : public NodeChannelSensor {
  public:
    // One row per record, or numSets 0 when the sample failed.
    const dataSet_t* getMetricData() override {
        dataSet.numSets = 0;
        const std::unique_ptr<TallyqResponse> reply =
            DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
        if (reply != nullptr) {
            const RecordList_t& records = reply->getRecordList();
            const uint32_t count = reply->getNumRecords();
            if (Row* r = rows.resize(count)) {
                keys.clear();
                for (uint32_t i = 0; i < count; ++i) fillRow(r[i], records[i]);
                keys.reportCollisions(*log, getName());
                dataSet.numSets = count;
                dataSet.data = reinterpret_cast<const char*>(r);
            }
        }
        sourcePrevOK = sourceOK;
        return &dataSet;
    }

  protected:
    FsRowsSensor(SensorID::SensorID id, const MetricsMetadata* metas, uint32_t numMetas,
                 const uint32_t* sensorSize, const char* request)
        : NodeChannelSensor(id, metas, numMetas, sensorSize, 1, request),
          dataSet{0, sizeof(Row), nullptr} {}

    // Fills a zeroed row from its record.
    virtual void fillRow(Row& row, const TallyqRecord& record) = 0;

    // Writes node and sensor names, "_cl_" and "_fs_" into the row and
    // returns the hash of the key strings present: "_cl_" starts it, "_fs_"
    // is folded in; an absent key leaves its field zero and the hash as it
    // was (0 at the start).
    uint32_t putNames(Row& row, const TallyqRecord& record) {
        std::memcpy(row.nodeName, nodeName, sizeof row.nodeName);
        safeStrncpy(row.sensorName, getName().c_str(), sizeof row.sensorName);
        uint32_t hash = 0;
        if (const char* cluster = record.getStrMain(FsRows::CLUSTER, *log)) {
            safeStrncpy(row.drixClusterName, cluster, sizeof row.drixClusterName);
            hash = FNV1AHash32(row.drixClusterName, sizeof row.drixClusterName);
        }
        if (const char* fs = record.getStrMain(FsRows::FILESYSTEM, *log)) {
            safeStrncpy(row.drixFilesystem, fs, sizeof row.drixFilesystem);
            hash = FNV1AHashAppend32(hash, row.drixFilesystem, sizeof row.drixFilesystem);
        }
        return hash;
    }
    void putKey(Row& row, uint32_t hash) {
        writeMetricKey(reinterpret_cast<char*>(&row.metricKey),
                       MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
    }

    // Touched by the sensor's thread only.
    dataSet_t dataSet;
    DirectStat::CountedRows<Row> rows;
    KeySet keys;
};
