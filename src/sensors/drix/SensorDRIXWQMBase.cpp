#include "SensorDRIXWQMBase.h"

#include <cstring>
#include <memory>

#include "StatReport.h"

namespace {

// The block's keys, built once at start-up so that filling a row builds no
// strings.
struct Keys {
    std::string scalars[WQM::SCALAR_ROWS];
    std::string operations[WQM::OPERATIONS];
    Keys() {
        for (std::size_t i = 0; i < WQM::SCALAR_ROWS; ++i) scalars[i] = WQM::SCALARS[i].key;
        for (std::size_t k = 0; k < WQM::OPERATIONS; ++k)
            operations[k] = std::string("_") + WQM::OPERATION_WORDS[k] + "_";
    }
};
const Keys keys;

// Missing keys read as 0; each getter logs its own complaint.
void fillBlock(const TallyqRecord& record, DRIXWQMDataSet& block, const Logger& log) {
    char* at = reinterpret_cast<char*>(&block);
    for (std::size_t i = 0; i < WQM::SCALAR_ROWS; ++i) {
        switch (WQM::SCALARS[i].read) {
            case WQM::Read::U32: {
                uint32_t v = 0;
                record.getInt32Main(keys.scalars[i], v, log);
                std::memcpy(at, &v, sizeof v);
                at += sizeof v;
                break;
            }
            case WQM::Read::U64: {
                uint64_t v = 0;
                record.getInt64Main(keys.scalars[i], v, log);
                std::memcpy(at, &v, sizeof v);
                at += sizeof v;
                break;
            }
            case WQM::Read::MICROS: {
                double seconds = 0;
                record.getDoubleMain(keys.scalars[i], seconds, log);
                const uint64_t v = DirectStat::microsBE(seconds);
                std::memcpy(at, &v, sizeof v);
                at += sizeof v;
                break;
            }
        }
    }
    for (std::size_t k = 0; k < WQM::OPERATIONS; ++k) {
        uint64_t values[WQM::OPERATION_VALUES];
        record.getInt64ArrayMain(keys.operations[k], values, WQM::OPERATION_VALUES, log);
        std::memcpy(block.operations[k], values, sizeof values);
    }
}

}  // namespace

SensorDRIXWQMBase::SensorDRIXWQMBase(const MetricsMetadata* metas, uint32_t numMetas,
                                     const uint32_t* sensorSize, uint32_t numVirtSensors,
                                     SensorID::SensorID id, const char* request, uint32_t rowLength)
    : NodeChannelSensor(id, metas, numMetas, sensorSize, numVirtSensors, request),
      drixWQMMetricDataSet{0, rowLength, nullptr},
      drixWQMMetricData(nullptr),
      allocatedSets(0),
      clock(SlowSample::monotonicMillis) {}

// The rows belong to the derived sensor, whose members free them.
SensorDRIXWQMBase::~SensorDRIXWQMBase() = default;

const dataSet_t* SensorDRIXWQMBase::getMetricData() {
    const uint64_t start = clock();
    drixWQMMetricDataSet.numSets = 0;
    const std::unique_ptr<TallyqResponse> reply =
        DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
    if (reply != nullptr) fillSample(*reply);
    SlowSample::check(*log, start, clock(),
                      "getData in SensorDRIXWQM* took more than %8.6f seconds");
    sourcePrevOK = sourceOK;
    return &drixWQMMetricDataSet;
}

void SensorDRIXWQMBase::fillSample(const TallyqResponse& reply) {
    const uint32_t count = reply.getNumRecords();
    if (drixWQMMetricData != nullptr && allocatedSets != count) {
        freeWQMMetricData();
        drixWQMMetricData = nullptr;
        allocatedSets = 0;
    }
    if (drixWQMMetricData == nullptr) {
        drixWQMMetricData = allocateWQMMetricData(count);
        allocatedSets = count;
    }
    startNewRecordSet();
    // Records past the rows held are read into the last row, so nothing is
    // written beyond the storage.
    const uint32_t held = rowsHeld(count);
    uint32_t index = 0;
    for (const TallyqRecord& record : reply.getRecordList()) {
        const uint32_t row = index < held ? index : held - 1;
        if (!fillInKeys(row, record)) continue;
        fillBlock(record, *getWQMMetricPtr(row), *log);
        ++index;
    }
    drixWQMMetricDataSet.numSets = index < held ? index : held;
    drixWQMMetricDataSet.data = static_cast<const char*>(drixWQMMetricData);
}
