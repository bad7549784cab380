// Source: "tallyq bufmgr_s": one record whose main part holds the buffer
// manager's figures under the keys of bufmgrColumns.
#include "SensorDRIXBufMgr.h"

#include <endian.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "SensorFactory.h"
#include "StatColumns.h"

namespace {

using StatColumns::column;

// Group 1 after its header, in row order, with the key each is read from.
constexpr StatColumns::Column bufmgrColumns[] = {
    column("_poolSizeK_", "drix_bufm_tot_poolSizeK", 14750, DT_UINT_64, SEMTYPE_QUANTITY),
    column("_primaryDescSizeK_", "drix_bufm_primaryDescSizeK", 14751, DT_UINT_64, SEMTYPE_QUANTITY),
    column("_maxPrefetchSizeK_", "drix_bufm_max_prefetchSizeK", 14752, DT_UINT_64,
           SEMTYPE_QUANTITY),
    column("_maxHotListSizeK_", "drix_bufm_max_hotlistSizeK", 14753, DT_UINT_64, SEMTYPE_QUANTITY),
    column("_nPGAllocator_", "drix_bufm_cnt_pgAllocator", 14754, DT_UINT_32, SEMTYPE_QUANTITY),
    column("_mountCountTotal_", "drix_bufm_cnt_activeFS", 14755, DT_UINT_32, SEMTYPE_QUANTITY),
    column("_nonStealableSizeK_", "drix_bufm_nonStealableSizeK", 14756, DT_UINT_64,
           SEMTYPE_QUANTITY),
    column("_curPrefetchSizeK_", "drix_bufm_curPrefetchSizeK", 14757, DT_UINT_64, SEMTYPE_QUANTITY),
    column("_curHotListSizeK_", "drix_bufm_curHotListSizeK", 14758, DT_UINT_64, SEMTYPE_QUANTITY),
    column("_nDataBufs_", "drix_bufm_cnt_activeDataBufs", 14759, DT_UINT_64, SEMTYPE_QUANTITY),
    column("_nBufAllocs_", "drix_bufm_cnt_bufAllocs", 14760, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_nBufSteals_", "drix_bufm_cnt_bufSteals", 14761, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_nPreStealAttempts_", "drix_bufm_cnt_preStealAttempts", 14762, DT_UINT_64,
           SEMTYPE_TOTALCOUNTER),
    column("_nPreStealSuccess_", "drix_bufm_cnt_preStealSuccess", 14763, DT_UINT_64,
           SEMTYPE_TOTALCOUNTER),
    column("_nWaits_", "drix_bufm_cnt_waits", 14764, DT_UINT_64, SEMTYPE_TOTALCOUNTER),
    column("_nConsecutiveShortages_", "drix_bufm_cnt_consecutiveShortages", 14765, DT_UINT_64,
           SEMTYPE_TOTALCOUNTER),
    column("_nBufStealLooks_", "drix_bufm_cnt_bufStealLooks", 14766, DT_UINT_64,
           SEMTYPE_TOTALCOUNTER),
    column("_nBufStealRefRequeue_", "drix_bufm_cnt_bufStealRefRequeue", 14767, DT_UINT_64,
           SEMTYPE_TOTALCOUNTER),
    column("_nBufStealRefIgnore_", "drix_bufm_cnt_bufStealRefIgnore", 14768, DT_UINT_64,
           SEMTYPE_TOTALCOUNTER),
};
constexpr std::size_t NUM_COLUMNS = sizeof bufmgrColumns / sizeof bufmgrColumns[0];
constexpr auto group1 = StatColumns::nodeTable(bufmgrColumns);

constexpr MetricsMetadata group2[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"drix_bufm_bufsize", 14769, DT_STRING, 16, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_bufm_cnt_reaccess", 14770, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    {"drix_bufm_cnt_reaccesSpan", 14771, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_bufm_avg_reaccessSpan", 14772, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t GROUP2_ROWS = sizeof group2 / sizeof group2[0];

constexpr std::array<MetricsMetadata, group1.size() + GROUP2_ROWS> joined() {
    std::array<MetricsMetadata, group1.size() + GROUP2_ROWS> t{};
    for (std::size_t i = 0; i < group1.size(); ++i) t[i] = group1[i];
    for (std::size_t i = 0; i < GROUP2_ROWS; ++i) t[group1.size() + i] = group2[i];
    return t;
}
constexpr auto drixBufMgrMetas = joined();
constexpr uint32_t sensorSize[] = {group1.size(), GROUP2_ROWS};

static_assert(group1.size() == 22 && GROUP2_ROWS == 7, "");
static_assert(sizeof(BufmgrData_t) == 256, "");
static_assert(sizeof(BufmgrData_t) == rowLength(group1.data(), 0, group1.size()), "");
static_assert(sizeof(BufmgraccData_t) == 152, "");
static_assert(sizeof(BufmgraccData_t) == rowLength(group2, 0, GROUP2_ROWS), "");
static_assert(offsetof(BufmgrData_t, poolSizeK) == columnOffset(group1.data(), 3), "");
static_assert(offsetof(BufmgrData_t, nPGAllocator) == columnOffset(group1.data(), 7), "");
static_assert(offsetof(BufmgrData_t, nonStealableSizeK) == columnOffset(group1.data(), 9), "");
static_assert(offsetof(BufmgrData_t, nBufStealRefIgnore) == columnOffset(group1.data(), 21), "");

}  // namespace

SensorDRIXBufMgr::SensorDRIXBufMgr()
    : NodeChannelSensor(SensorID::DRIXBufMgr, drixBufMgrMetas.data(), drixBufMgrMetas.size(),
                        sensorSize, 2, "tallyq bufmgr_s"),
      metricDataSets{{0, sizeof(BufmgrData_t), nullptr}, {0, sizeof(BufmgraccData_t), nullptr}} {}

AbstractSensor* SensorDRIXBufMgr::generate() { return new SensorDRIXBufMgr(); }

const dataSet_t* SensorDRIXBufMgr::getMetricData() {
    metricDataSets[0].numSets = 0;
    metricDataSets[1].numSets = 0;
    std::unique_ptr<TallyqResponse> reply =
        DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
    if (reply != nullptr) {
        BufmgrData_t& row = bufmgrData.row;
        std::memset(static_cast<void*>(&row), 0, sizeof row);
        safeStrncpy(row.nodeName, nodeName, sizeof row.nodeName);
        safeStrncpy(row.sensorName, getName().c_str(), sizeof row.sensorName);
        const MetricKey key{nodeID, 0, static_cast<uint16_t>(sensorID), 0};
        writeMetricKey(reinterpret_cast<char*>(&row) + offsetof(BufmgrData_t, metricKey), key);

        const TallyqRecord& record = reply->getRecordList().front();
        char* at = reinterpret_cast<char*>(&row) + offsetof(BufmgrData_t, poolSizeK);
        bool complete = true;
        for (std::size_t c = 0; c < NUM_COLUMNS && complete; ++c) {
            uint64_t value = 0;
            complete = record.getInt64Main(bufmgrColumns[c].key, value, *log);
            if (bufmgrColumns[c].meta.metricLen == 4) {
                // The low 32 bits, in network order.
                const uint32_t low = htobe32(static_cast<uint32_t>(be64toh(value)));
                std::memcpy(at, &low, sizeof low);
            } else {
                std::memcpy(at, &value, sizeof value);
            }
            at += bufmgrColumns[c].meta.metricLen;
        }
        bufmgrData.publish(metricDataSets[0], complete);
        // The sample still counts as delivered: the reply itself was good.
        if (!complete) log->logError("Bad response received for DRIXBufMgr sensor, skipping.");
    }
    sourcePrevOK = sourceOK;
    return metricDataSets;
}

static volatile RegisterSensorGenerator<SensorDRIXBufMgr> registerSensorSensorDRIXBufMgr(
    SensorID::DRIXBufMgr, SensorDRIXBufMgr::generate);
