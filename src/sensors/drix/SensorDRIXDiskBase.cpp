#include "SensorDRIXDiskBase.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "StatReport.h"

namespace PerDisk {
namespace {

using CountGetter = bool (TallyqRecord::*)(const std::string&, uint64_t&, const Logger&) const;
using TimeGetter = bool (TallyqRecord::*)(const std::string&, double&, const Logger&) const;

// Keys built once at start-up, so filling a row builds no strings.
const std::string OPS = "_ops_", BYTES = "_b_", DISK_WAIT = "_tw_", QUEUE_WAIT = "_qt_";
// Shortest disk, shortest queue, longest disk, longest queue: per-bucket key
// first, plain key second.
const std::string EXTREMES[4][2] = {
    {"_stwpb_", "_stw_"}, {"_sqtpb_", "_sqt_"}, {"_ltwpb_", "_ltw_"}, {"_lqtpb_", "_lqt_"}};

// Fills the eight fields of one part; true when its "_stwpb_" was found.
bool fillPart(const TallyqRecord& record, CountGetter count, TimeGetter time, uint64_t* out,
              const Logger& log) {
    (record.*count)(OPS, out[0], log);
    (record.*count)(BYTES, out[1], log);
    double seconds = 0;
    (record.*time)(DISK_WAIT, seconds, log);
    out[2] = DirectStat::microsBE(seconds);
    (record.*time)(QUEUE_WAIT, seconds, log);
    out[3] = DirectStat::microsBE(seconds);
    bool firstFound = false;
    for (int i = 0; i < 4; ++i) {
        // A per-bucket key with one value counts as found even when the value
        // is not a number.
        const bool found = (record.*time)(EXTREMES[i][0], seconds, log);
        if (!found) (record.*time)(EXTREMES[i][1], seconds, log);
        out[4 + i] = DirectStat::microsBE(seconds);
        if (i == 0) firstFound = found;
    }
    return firstFound;
}

}  // namespace

void fill(const TallyqRecord& record, DRIXPerDiskData& block, const std::string& request,
          bool& perBucketChecked, const Logger& log) {
    uint64_t fields[BLOCK_ROWS];
    const bool perBucket =
        fillPart(record, &TallyqRecord::getInt64Read, &TallyqRecord::getDoubleRead, fields, log);
    fillPart(record, &TallyqRecord::getInt64Write, &TallyqRecord::getDoubleWrite, fields + 8, log);
    std::memcpy(&block, fields, sizeof block);
    if (perBucketChecked) return;
    if (perBucket)
        log.logInfo(
            "%s provides auto-reset/per-bucket fields (_*pb_) for min./max. queue time "
            "and wait time.",
            request.c_str());
    else
        log.logWarning(
            "%s does not provide auto-reset/per-bucket fields (_*pb_) for min./max. "
            "queue time and wait time.",
            request.c_str());
    perBucketChecked = true;
}

}  // namespace PerDisk

SensorDRIXDiskBase::SensorDRIXDiskBase(const MetricsMetadata* metas, uint32_t numMetas,
                                       const uint32_t* sensorSize, uint32_t numVirtSensors,
                                       SensorID::SensorID id, const char* request,
                                       uint32_t rowLength)
    : NodeChannelSensor(id, metas, numMetas, sensorSize, numVirtSensors, request),
      drixDiskMetricDataSet{0, rowLength, nullptr},
      drixDiskMetricData(nullptr),
      allocatedSets(0),
      tallyqPerBucketFieldChecked(false),
      clock(SlowSample::monotonicMillis) {}

// The rows belong to the derived sensor, whose members free them.
SensorDRIXDiskBase::~SensorDRIXDiskBase() = default;

void SensorDRIXDiskBase::failSample(const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    StatReport::fail(*log, sourceOK, sourcePrevOK, "%s", message);
    sourcePrevOK = sourceOK;
    drixDiskMetricDataSet.numSets = 0;
}

const dataSet_t* SensorDRIXDiskBase::getMetricData() {
    const uint64_t start = clock();
    if (!channel.available()) {
        failSample("%s", StatReport::NO_CHANNEL);
        return &drixDiskMetricDataSet;
    }
    const std::unique_ptr<TallyqResponse> reply(channel.execute(request));
    if (reply == nullptr) {
        failSample("No results received from %s, no metrics to report.", request.c_str());
    } else if (StatReport::refused(reply.get(), sourceOK)) {
        sourcePrevOK = sourceOK;
        drixDiskMetricDataSet.numSets = 0;
    } else if (!reply->isResponse() || reply->getNumRecords() == 0) {
        if (reply->isError())
            failSample("%s error: %s.", request.c_str(), reply->getName().c_str());
        else
            failSample("No results received from %s, no metrics to report.", request.c_str());
    } else if (const int32_t code = StatReport::returnCode(*reply, *log)) {
        failSample("Data conversion error from %s: rc=%d, no metrics to report ", request.c_str(),
                   code);
    } else if (fillSample(*reply)) {
        SlowSample::check(*log, start, clock(),
                          "getData in SensorDRIXDisk took more than %8.6f seconds");
        StatReport::succeed(*log, sourceOK, sourcePrevOK);
        sourcePrevOK = sourceOK;
    }
    return &drixDiskMetricDataSet;
}

bool SensorDRIXDiskBase::fillSample(const TallyqResponse& reply) {
    const RecordList_t& records = reply.getRecordList();
    const uint32_t count = reply.getNumRecords();
    if (drixDiskMetricData != nullptr && allocatedSets != count) {
        freeDiskMetricData();
        drixDiskMetricData = nullptr;
        allocatedSets = 0;
    }
    if (drixDiskMetricData == nullptr) {
        drixDiskMetricData = allocateDiskMetricData(count);
        allocatedSets = count;
    }
    startNewRecordSet();
    uint32_t index = 0;
    for (RecordList_t::const_iterator it = records.begin(); it != records.end(); ++it, ++index) {
        if (!fillInKeys(index, it)) {
            failSample(
                "%s data check returned with error, invalid key or data, records will be "
                "ignored!",
                request.c_str());
            return false;
        }
        PerDisk::fill(*it, *getDiskMetricPtr(index), request, tallyqPerBucketFieldChecked, *log);
    }
    drixDiskMetricDataSet.numSets = count;
    drixDiskMetricDataSet.data = static_cast<const char*>(drixDiskMetricData);
    return true;
}
