#include "SensorDRIXQuotaBase.h"

#include <endian.h>

#include <cstring>
#include <iterator>

#include "StatReport.h"

namespace {

const SensorDRIXCapFlow::Texts quotaTexts = {
    "Cannot connect to CapqRelay, no metrics to report.",
    nullptr,  // listingFailed is replaced
    nullptr,  // finishPoll is replaced
    nullptr,
};

}  // namespace

SensorDRIXQuotaBase::SensorDRIXQuotaBase(const MetricsMetadata* metricTable, uint32_t numMetrics,
                                         const uint32_t* perVirtSensorCounts,
                                         uint32_t numVirtSensors, SensorID::SensorID id,
                                         const std::string& requestWord, uint32_t recordLength)
    : SensorDRIXCapFlow(id, metricTable, numMetrics, perVirtSensorCounts, numVirtSensors,
                        &drixQuotaMetricDataSet, quotaTexts, {requestWord, false}),
      drixQuotaMetricDataSet{0, recordLength, nullptr} {}

void SensorDRIXQuotaBase::collect(const FsPair&, DRIXCapParser::Lines* reply, std::string& error) {
    // The parser empties its output on an error: it gets a list of its own,
    // so the filesystems polled before keep their rows.
    std::vector<DRIXCapParser::Row> parsed;
    drixCapParser.parseCmdInput(reply, parsed, error);
    rows.insert(rows.end(), std::make_move_iterator(parsed.begin()),
                std::make_move_iterator(parsed.end()));
}

bool SensorDRIXQuotaBase::listingFailed(const FsPair& fs, const std::string& error) {
    if (sourcePrevOK) {
        log->logWarning("Error running iqrepquota (%s) for filesystem %s: %s", listing.word.c_str(),
                        fs.first.c_str(), error.c_str());
    }
    return false;
}

bool SensorDRIXQuotaBase::convertStrU64NegativValToNull(const std::string& text,
                                                        uint64_t& value) const {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t digits = i;
    uint64_t v = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned d = static_cast<unsigned>(text[i] - '0');
        if (v > (static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0) - d) / 10) overflow = true;
        if (!overflow) v = v * 10 + d;
    }
    if (i == digits) return false;
    // A negative number is 0 however far below the range it lies.
    if (negative && (overflow || v != 0)) {
        log->logDebug("Changed negative value to null.");
        value = 0;
        return true;
    }
    if (overflow) return false;
    value = v;
    return true;
}

void SensorDRIXQuotaBase::finishPoll(std::size_t, const std::string& error) {
    drixQuotaMetricDataSet.numSets = 0;
    if (rows.empty()) {
        if (error.empty()) {
            StatReport::fail(*log, sourceOK, sourcePrevOK,
                             "No results received from CapqRelay, no metrics to report.");
        } else {
            StatReport::fail(*log, sourceOK, sourcePrevOK,
                             "No results received from CapqRelay. Error: %s", error.c_str());
        }
        return;
    }
    // Rows came back, so the poll delivered data even if every row fails.
    StatReport::succeed(*log, sourceOK, sourcePrevOK);
    buildRecords();
}

std::size_t SensorDRIXQuotaBase::buildRecords() {
    const std::size_t n = rows.size();
    if (drixQuotaMetricData != nullptr && allocatedSets != n) dropRecords();
    if (drixQuotaMetricData == nullptr) {
        drixQuotaMetricData = allocateQuotaMetricData(static_cast<uint32_t>(n));
        allocatedSets = n;
    }
    startNewRecordSet();
    static const char* const columns[8] = {"blockUsage",   "blockQuota",  "blockLimit",
                                           "blockInDoubt", "filesUsage",  "filesQuota",
                                           "filesLimit",   "filesInDoubt"};
    static const char* const failed[8] = {
        "failed to convert %s to uint64_t for blockUsage, skipping record",
        "failed to convert %s to uint64_t for blockQuota, skipping record",
        "failed to convert %s to uint64_t for blockLimit, skipping record",
        "failed to convert %s to uint64_t for blockInDoubt, skipping record",
        "failed to convert %s to uint64_t for filesUsage, skipping record",
        "failed to convert %s to uint64_t for filesQuota, skipping record",
        "failed to convert %s to uint64_t for filesLimit, skipping record",
        "failed to convert %s to uint64_t for filesInDoubt, skipping record"};
    const uint32_t length = drixQuotaMetricDataSet.setLength;
    uint32_t i = 0;
    for (const DRIXCapParser::Row& row : rows) {
        // Cleared first: a column the row lacks sends 0, never an earlier value.
        std::memset(drixQuotaMetricData + static_cast<std::size_t>(i) * length, 0, length);
        if (!fillInKeys(i, row)) continue;
        uint64_t* p = getQuotaMetricPtr(i);
        bool complete = true;
        for (int k = 0; k < 8 && complete; ++k) {
            const auto it = row.find(columns[k]);
            if (it == row.end()) continue;
            uint64_t value = 0;
            if (!convertStrU64NegativValToNull(it->second, value)) {
                log->logError(failed[k], it->second.c_str());
                complete = false;
            } else {
                const uint64_t be = htobe64(value);
                std::memcpy(p + k, &be, sizeof be);
            }
        }
        if (complete) ++i;
    }
    endRecordSet();
    drixQuotaMetricDataSet.numSets = i;
    drixQuotaMetricDataSet.data = drixQuotaMetricData;
    return i;
}

void SensorDRIXQuotaBase::dropRecords() {
    if (drixQuotaMetricData != nullptr) freeQuotaMetricData();
    drixQuotaMetricData = nullptr;
    allocatedSets = 0;
    drixQuotaMetricDataSet.data = nullptr;
}
