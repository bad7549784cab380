// Sources: "tallyq pdisk_s" and "tallyq da_s", one record per physical disk
// (declustered array) from the first record on: "_rg_" its recovery group,
// "_p_" the disk ("_da_" the array), and the capacities "_c_", "_uc_",
// "_pc_", "_upc_", "_lc_" and "_ulc_". The arrays are only asked for once the
// disks were read.
#include "SensorDRIXJZK.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>
#include <memory>

#include "FNV1AHash.h"
#include "RowWriter.h"
#include "SensorFactory.h"
#include "StatReport.h"

namespace {

constexpr MetricsMetadata drixJZKMetas[] = {
    {"drix_cluster_name", 13004, DT_STRING, JZK_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_SENSOR,
    {"drix_recovery_group_name", 13012, DT_STRING, JZK_NAME_LEN, SEMTYPE_IDENTIFIER},
    {"drix_pdisk_name", 13014, DT_STRING, JZK_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_jzk_pdisk_capacity", 15125, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_pdisk_used_capacity", 15126, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_pdisk_physical_capacity", 15127, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_pdisk_used_physical_capacity", 15128, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_pdisk_logical_capacity", 15129, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_pdisk_used_logical_capacity", 15130, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_pdisk_state", 15131, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_cluster_name", 13004, DT_STRING, JZK_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_SENSOR,
    {"drix_recovery_group_name", 13012, DT_STRING, JZK_NAME_LEN, SEMTYPE_IDENTIFIER},
    {"drix_declustered_array_name", 13013, DT_STRING, JZK_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"drix_jzk_da_capacity", 15132, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_da_used_capacity", 15133, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_da_physical_capacity", 15134, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_da_used_physical_capacity", 15135, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_da_logical_capacity", 15136, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_da_used_logical_capacity", 15137, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_jzk_da_state", 15138, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t GROUP_ROWS = 12;
constexpr uint32_t sensorSize[] = {GROUP_ROWS, GROUP_ROWS};

static_assert(sizeof drixJZKMetas / sizeof drixJZKMetas[0] == 2 * GROUP_ROWS, "");
static_assert(sizeof(DRIXJZKPdiskData_t) == 296 && sizeof(DRIXJZKDAData_t) == 296, "");
static_assert(sizeof(DRIXJZKPdiskData_t) == rowLength(drixJZKMetas, 0, GROUP_ROWS), "");
static_assert(sizeof(DRIXJZKDAData_t) == rowLength(drixJZKMetas, GROUP_ROWS, GROUP_ROWS), "");
static_assert(offsetof(DRIXJZKPdiskData_t, metricKey) == columnOffset(drixJZKMetas, 4), "");
static_assert(offsetof(DRIXJZKPdiskData_t, state) == columnOffset(drixJZKMetas, 11), "");

// The capacity keys in row order.
constexpr const char* capacityKeys[] = {"_c_", "_uc_", "_pc_", "_upc_", "_lc_", "_ulc_"};

// The code standing for a reply that cannot be read at all.
constexpr int32_t NO_REPLY_CODE = 99;

}  // namespace

SensorDRIXJZK::SensorDRIXJZK()
    : StatChannelSensor(SensorID::DRIXJZK, drixJZKMetas, 2 * GROUP_ROWS, sensorSize, 2),
      metricDataSets{{0, sizeof(DRIXJZKPdiskData_t), nullptr},
                     {0, sizeof(DRIXJZKDAData_t), nullptr}} {}

AbstractSensor* SensorDRIXJZK::generate() { return new SensorDRIXJZK(); }

template <class Row>
bool SensorDRIXJZK::fillGroup(const std::string& request, const char* objectKey,
                              const char* sensorName, DirectStat::CountedRows<Row>& rows,
                              dataSet_t& set) {
    std::unique_ptr<TallyqResponse> reply(channel.execute(request));
    if (StatReport::refused(reply.get(), sourceOK)) return false;
    const char* req = request.c_str();
    if (reply != nullptr && reply->isError())
        StatReport::fail(*log, sourceOK, sourcePrevOK, "%s error: %s, no metrics to report.", req,
                         reply->getName().c_str());
    int32_t code = NO_REPLY_CODE;
    if (reply != nullptr && reply->isResponse() && reply->getNumRecords() > 0)
        code = StatReport::returnCode(*reply, *log);
    if (code != 0)
        StatReport::fail(*log, sourceOK, sourcePrevOK,
                         "Error from %s: %s %d, no metrics to report.", req, "_rc_", code);
    if (!sourceOK) return false;

    const RecordList_t& records = reply->getRecordList();
    const uint32_t n = static_cast<uint32_t>(records.size());
    Row* row = rows.resize(n);
    if (row == nullptr) {
        sourceOK = false;
        return false;
    }
    for (uint32_t i = 0; i < n; ++i, ++row) {
        const TallyqRecord& record = records[i];
        safeStrncpy(row->drixClusterName, drixClusterName.c_str(), sizeof row->drixClusterName);
        safeStrncpy(row->sensorName, sensorName, sizeof row->sensorName);
        uint32_t hash = 0;
        if (const char* rg = record.getStrMain("_rg_", *log)) {
            safeStrncpy(row->drixRGName, rg, sizeof row->drixRGName);
            hash = FNV1AHash32(row->drixRGName, sizeof row->drixRGName);
        }
        char* object = row->objectName;
        if (const char* name = record.getStrMain(objectKey, *log)) {
            safeStrncpy(object, name, JZK_NAME_LEN);
            hash = FNV1AHashAppend32(hash, object, JZK_NAME_LEN);
        }
        hash = keys.claim(hash, [&] { return joinKeyText({row->drixRGName, object}); });
        const MetricKey key{FNV1AHash32(row->drixClusterName, sizeof row->drixClusterName), hash,
                            static_cast<uint16_t>(sensorID), 0};
        writeMetricKey(reinterpret_cast<char*>(row) + offsetof(Row, metricKey), key);
        char* values = reinterpret_cast<char*>(row) + offsetof(Row, capacity);
        for (const char* k : capacityKeys) {
            uint64_t v = 0;
            record.getInt64Main(k, v, *log);
            std::memcpy(values, &v, sizeof v);
            values += sizeof v;
        }
    }
    keys.clear();
    set.data = reinterpret_cast<const char*>(rows.data());
    set.numSets = n;
    return true;
}

const dataSet_t* SensorDRIXJZK::getMetricData() {
    sourceOK = true;
    getLocalClusterName(drixClusterName);
    // The node file's errors are logged at the first sample and after a good one.
    firstRun = false;
    log->logDebug("drixClusterName = %s", drixClusterName.c_str());
    if (!channel.available()) {
        StatReport::fail(*log, sourceOK, sourcePrevOK, "%s", StatReport::NO_CHANNEL);
    } else if (fillGroup("tallyq pdisk_s", "_p_", getName().c_str(), drixJZKPdiskData,
                         metricDataSets[0]) &&
               fillGroup("tallyq da_s", "_da_", "DRIXJZKDA", drixJZKDAData, metricDataSets[1])) {
        keys.reportCollisions(*log, getName());
        if (!sourcePrevOK) log->logInfo("%s", StatReport::RESUMED);
        sourcePrevOK = true;
        return metricDataSets;
    }
    // The rows of a good first group are not reported either; the arrays are
    // given back, and the next good sample allocates them anew.
    metricDataSets[0] = {0, sizeof(DRIXJZKPdiskData_t), nullptr};
    metricDataSets[1] = {0, sizeof(DRIXJZKDAData_t), nullptr};
    drixJZKPdiskData.release();
    drixJZKDAData.release();
    keys.clear();
    keys.reportCollisions(*log, getName());
    sourcePrevOK = false;
    return metricDataSets;
}

static volatile RegisterSensorGenerator<SensorDRIXJZK> registerSensorSensorDRIXJZK(
    SensorID::DRIXJZK, SensorDRIXJZK::generate);
