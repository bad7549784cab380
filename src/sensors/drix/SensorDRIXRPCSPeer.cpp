// Source: "tallyq rpcs 1s". The records come in runs: a peer record ("_cl_"
// the peer's cluster, "_rnn_" or, from older facilities, "_nn_" its name),
// then up to three "_rpcObj_" records whose "_obj_" names a latency object
// and whose "_stats_" part holds "_av_", "_min_", "_max_" (seconds) and
// "_cnt_". The first record of the reply is the first peer record.
#include "SensorDRIXRPCSPeer.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "FNV1AHash.h"
#include "SensorFactory.h"

namespace {

constexpr std::array<MetricsMetadata, 5> header = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    MetricsMetadata{"drix_cluster_name", 13004, DT_STRING, PEER_NAME_LEN, SEMTYPE_IDENTIFIER},
    MetricsMetadata{"peer", 14186, DT_STRING, PEER_NAME_LEN, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
};
constexpr RpcStats::Family families[] = {
    {"drix_rpcs_peer_tcp", 14187}, {"drix_rpcs_peer_vrb", 14191}, {"drix_rpcs_peer_mxd", 14195}};
constexpr auto drixRpcsMetas = RpcStats::table(header, families);
constexpr uint32_t sensorSize[] = {drixRpcsMetas.size()};

static_assert(drixRpcsMetas.size() == 17, "");
static_assert(sizeof(peerData_t) == 336, "");
static_assert(sizeof(peerData_t) == rowLength(drixRpcsMetas.data(), 0, 17), "");
static_assert(offsetof(peerData_t, peerName) == columnOffset(drixRpcsMetas.data(), 3), "");
static_assert(offsetof(peerData_t, metricKey) == columnOffset(drixRpcsMetas.data(), 4), "");
static_assert(offsetof(peerData_t, mixedLatency) == columnOffset(drixRpcsMetas.data(), 13), "");

constexpr std::size_t MAX_OBJECTS = 3;
struct Object {
    const char* name;
    std::size_t offset;
};
constexpr Object objects[] = {
    {"AG_STAT_RPC_LATENCY_TCP", offsetof(peerData_t, tcpLatency)},
    {"AG_STAT_RPC_LATENCY_VERBS", offsetof(peerData_t, verbsLatency)},
    {"AG_STAT_RPC_LATENCY_MIXED", offsetof(peerData_t, mixedLatency)},
};

}  // namespace

SensorDRIXRPCSPeer::SensorDRIXRPCSPeer()
    : NodeChannelSensor(SensorID::DRIXRPCSPeer, drixRpcsMetas.data(), drixRpcsMetas.size(),
                        sensorSize, 1, "tallyq rpcs 1s"),
      metricDataSet{0, sizeof(peerData_t), nullptr} {}

AbstractSensor* SensorDRIXRPCSPeer::generate() { return new SensorDRIXRPCSPeer(); }

const dataSet_t* SensorDRIXRPCSPeer::getMetricData() {
    std::unique_ptr<TallyqResponse> reply =
        DirectStat::fetch(channel, request, *log, sourceOK, sourcePrevOK);
    if (reply == nullptr) {
        metricDataSet.numSets = 0;
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }
    const RecordList_t& records = reply->getRecordList();
    const std::size_t n = records.size();
    peers.clear();
    peers.reserve(n);
    keys.clear();
    const std::string& sensor = getName();
    bool stop = false;
    std::size_t i = 0;
    while (i < n && !stop) {
        const TallyqRecord& peer = records[i++];
        peerData_t row{};
        safeStrncpy(row.nodeName, nodeName, sizeof row.nodeName);
        safeStrncpy(row.sensorName, sensor.c_str(), sizeof row.sensorName);
        const char* cluster = peer.getStrMain("_cl_", *log);
        safeStrncpy(row.drixClusterName, cluster != nullptr ? cluster : "unknown_cluster",
                    sizeof row.drixClusterName);
        uint32_t hash = FNV1AHash32(row.drixClusterName, sizeof row.drixClusterName);
        const char* name = peer.getStrMain("_rnn_", *log);
        if (name == nullptr) name = peer.getStrMain("_nn_", *log);
        if (name == nullptr) {
            log->logError("Could not extract peer name using %s in sensor %s", "_nn_",
                          sensor.c_str());
        } else {
            safeStrncpy(row.peerName, name, sizeof row.peerName);
            hash = FNV1AHashAppend32(hash, row.peerName, sizeof row.peerName);
        }
        hash = keys.claim(hash, [&] { return std::string(row.peerName); });
        const MetricKey key{nodeID, hash, static_cast<uint16_t>(sensorID), 0};
        writeMetricKey(reinterpret_cast<char*>(&row) + offsetof(peerData_t, metricKey), key);

        // The peer's objects; a record without "_obj_" is the next peer.
        for (std::size_t seen = 0; seen < MAX_OBJECTS && i < n; ++seen) {
            const char* obj = records[i].getStrMain("_obj_", *log);
            if (obj == nullptr) break;
            const Object* known = nullptr;
            for (const Object& o : objects) {
                if (std::strcmp(obj, o.name) == 0) known = &o;
            }
            if (known == nullptr) {
                log->logError("Unknown record '%s' in tallyq output in sensor %s", obj,
                              sensor.c_str());
                stop = true;
                break;
            }
            latencyMetrics_t block{};
            RpcStats::readEach(records[i], block, *log);
            std::memcpy(reinterpret_cast<char*>(&row) + known->offset, &block, sizeof block);
            ++i;
        }
        peers.push_back(row);
    }
    keys.reportCollisions(*log, sensor);

    const uint32_t count = static_cast<uint32_t>(peers.size());
    peerData_t* rows = metricData.resize(count);
    if (rows != nullptr)
        std::memcpy(static_cast<void*>(rows), peers.data(), sizeof(peerData_t) * count);
    metricDataSet.data = reinterpret_cast<const char*>(rows);
    metricDataSet.numSets = rows != nullptr ? count : 0;
    sourcePrevOK = sourceOK;
    return &metricDataSet;
}

static volatile RegisterSensorGenerator<SensorDRIXRPCSPeer> registerSensorDRIXRPCSPeer(
    SensorID::DRIXRPCSPeer, SensorDRIXRPCSPeer::generate);
