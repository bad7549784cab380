// Source: "tallyq rpcs ns". After the header record come the node's RPC
// statistics objects, one "_rpcObj_" record each: "_obj_" names the object
// and its "_stats_" part holds "_av_", "_min_", "_max_" (seconds) and
// "_cnt_". Only the first seven object records are read. A row whose object
// is missing, given twice or not fully readable would mix figures of
// different samples, so it is held back.
#include "SensorDRIXRPCS.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "SensorFactory.h"

namespace {

constexpr std::array<MetricsMetadata, 3> header = {ROW_HEADER_NODE, ROW_HEADER_SENSOR,
                                                   ROW_HEADER_METRIC_KEY};
constexpr RpcStats::Family tcpFamilies[] = {{"drix_rpcs_chn", 14170},
                                            {"drix_rpcs_snd_tcp", 14174},
                                            {"drix_rpcs_rcv_tcp", 14178},
                                            {"drix_rpcs_lat_tcp", 14182}};
constexpr RpcStats::Family verbsFamilies[] = {
    {"drix_rpcs_snd_vbs", 14600}, {"drix_rpcs_lat_vbs", 14604}, {"drix_rpcs_lat_mix", 14608}};
constexpr auto tcpTable = RpcStats::table(header, tcpFamilies);
constexpr auto verbsTable = RpcStats::table(header, verbsFamilies);

constexpr std::array<MetricsMetadata, tcpTable.size() + verbsTable.size()> joined() {
    std::array<MetricsMetadata, tcpTable.size() + verbsTable.size()> t{};
    for (std::size_t i = 0; i < tcpTable.size(); ++i) t[i] = tcpTable[i];
    for (std::size_t i = 0; i < verbsTable.size(); ++i) t[tcpTable.size() + i] = verbsTable[i];
    return t;
}
constexpr auto drixRpcsMetas = joined();
constexpr uint32_t sensorSize[] = {tcpTable.size(), verbsTable.size()};

static_assert(tcpTable.size() == 19 && verbsTable.size() == 15, "");
static_assert(sizeof(TCPSensorData) == 240, "");
static_assert(sizeof(VerbsSensorData) == 208, "");
static_assert(sizeof(TCPSensorData) == rowLength(tcpTable.data(), 0, 19), "");
static_assert(sizeof(VerbsSensorData) == rowLength(verbsTable.data(), 0, 15), "");
static_assert(offsetof(TCPSensorData, tcpLatency) == columnOffset(tcpTable.data(), 15), "");
static_assert(offsetof(VerbsSensorData, mixedLatency) == columnOffset(verbsTable.data(), 11), "");

// The objects of a reply and where each goes: the row (0 TCP, 1 verbs) and
// the block's offset in it.
struct Object {
    const char* name;
    int row;
    std::size_t offset;
};
constexpr Object objects[] = {
    {"AG_STAT_CHANNEL_WAIT", 0, offsetof(TCPSensorData, channelWait)},
    {"AG_STAT_SEND_TIME_TCP", 0, offsetof(TCPSensorData, tcpSend)},
    {"AG_STAT_RECEIVE_TIME_TCP", 0, offsetof(TCPSensorData, tcpRecv)},
    {"AG_STAT_RPC_LATENCY_TCP", 0, offsetof(TCPSensorData, tcpLatency)},
    {"AG_STAT_SEND_TIME_VERBS", 1, offsetof(VerbsSensorData, verbsSend)},
    {"AG_STAT_RPC_LATENCY_VERBS", 1, offsetof(VerbsSensorData, verbsLatency)},
    {"AG_STAT_RPC_LATENCY_MIXED", 1, offsetof(VerbsSensorData, mixedLatency)},
};
constexpr int TCP_OBJECTS = 4;
constexpr int VERBS_OBJECTS = 3;
constexpr std::size_t HEADER_LEN = offsetof(TCPSensorData, channelWait);
static_assert(HEADER_LEN == offsetof(VerbsSensorData, verbsSend), "");

template <class Row>
void writeHeader(Row& row, const char* node, const std::string& sensor, const MetricKey& key) {
    AbstractSensor::safeStrncpy(row.nodeName, node, sizeof row.nodeName);
    AbstractSensor::safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);
    writeMetricKey(reinterpret_cast<char*>(&row) + offsetof(Row, metricKey), key);
}

}  // namespace

SensorDRIXRPCS::SensorDRIXRPCS()
    : NodeChannelSensor(SensorID::DRIXRPCS, drixRpcsMetas.data(), drixRpcsMetas.size(), sensorSize,
                        2, "tallyq rpcs ns") {
    tcpMetrics.publish(metricsDataSets[0], false);
    verbsMetrics.publish(metricsDataSets[1], false);
}

AbstractSensor* SensorDRIXRPCS::generate() { return new SensorDRIXRPCS(); }

int32_t SensorDRIXRPCS::init() {
    const int32_t result = NodeChannelSensor::init();
    const MetricKey key{nodeID, 0, static_cast<uint16_t>(sensorID), 0};
    writeHeader(tcpMetrics.row, nodeName, getName(), key);
    writeHeader(verbsMetrics.row, nodeName, getName(), key);
    return result;
}

const dataSet_t* SensorDRIXRPCS::getMetricData() {
    tcpMetrics.publish(metricsDataSets[0], false);
    verbsMetrics.publish(metricsDataSets[1], false);
    std::unique_ptr<TallyqResponse> reply =
        DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
    if (reply != nullptr) {
        char* rows[2] = {reinterpret_cast<char*>(&tcpMetrics.row),
                         reinterpret_cast<char*>(&verbsMetrics.row)};
        std::memset(rows[0] + HEADER_LEN, 0, sizeof(TCPSensorData) - HEADER_LEN);
        std::memset(rows[1] + HEADER_LEN, 0, sizeof(VerbsSensorData) - HEADER_LEN);
        int counts[2] = {0, 0};
        const RecordList_t& records = reply->getRecordList();
        const std::size_t last = records.size() < 8 ? records.size() : 8;
        for (std::size_t i = 1; i < last; ++i) {
            const char* name = records[i].getStrMain("_obj_", *log);
            if (name == nullptr) continue;
            for (const Object& o : objects) {
                if (std::strcmp(name, o.name) != 0) continue;
                ++counts[o.row];
                latencyMetrics_t block{};
                if (!RpcStats::readChained(records[i], block, *log)) {
                    --counts[0];
                    --counts[1];
                }
                std::memcpy(rows[o.row] + o.offset, &block, sizeof block);
                break;
            }
        }
        tcpMetrics.publish(metricsDataSets[0], counts[0] == TCP_OBJECTS);
        verbsMetrics.publish(metricsDataSets[1], counts[1] == VERBS_OBJECTS);
    }
    sourcePrevOK = sourceOK;
    return metricsDataSets;
}

static volatile RegisterSensorGenerator<SensorDRIXRPCS> registerSensorDRIXRPCS(
    SensorID::DRIXRPCS, SensorDRIXRPCS::generate);
