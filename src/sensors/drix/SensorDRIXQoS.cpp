// Source: CapqRelay's "throtlfslist" request (the QoS-enabled filesystems, a
// "qosLocalFileSystem" column naming those this node manages) and
// "iqlsqos:<fs>:<seconds>" (the QoS statistics over the last period, colon
// format; only the "throtl:stats:" lines are statistics). The node data file
// only has to be readable: it shows that the node belongs to a cluster.
#include "SensorDRIXQoS.h"

#include <cstddef>
#include <cstring>
#include <fstream>

#include "PlatformPaths.h"
#include "SensorFactory.h"
#include "split.h"

namespace {

constexpr MetricsMetadata drixQoSMetas[] = {
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_diskpool_name", 13006, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_qos_class_name", 13011, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fset_name", 13007, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_qos_iops", 14850, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_ioql", 14851, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_qsdl", 14852, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_et", 14853, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_mbs", 14854, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_maxiops", 14855, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_maxmbs", 14856, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_qos_nnodes", 14857, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t groupSizes[] = {15};

typedef SensorDRIXQoS::DRIXQoSData Record;
static_assert(sizeof(Record) == 432 && sizeof(Record) == rowLength(drixQoSMetas, 0, 15), "");
static_assert(offsetof(Record, drixFilesetName) == columnOffset(drixQoSMetas, 5), "");
static_assert(offsetof(Record, metricKey) == columnOffset(drixQoSMetas, 6), "");
static_assert(offsetof(Record, iops) == columnOffset(drixQoSMetas, 7), "");

enum { CLUSTER = 0, SENSOR = 1, FS = 2, POOL = 3, CLASS = 4, FSET = 5, VALUES = 7 };

const char STATS_PREFIX[] = "throtl:stats:";
const char NOT_MANAGER[] =
    "this node is not a manager of an QoS filesystem, therefore nothing to send";

}  // namespace

SensorDRIXQoS::SensorDRIXQoS()
    : AbstractSensor(SensorID::DRIXQoS, drixQoSMetas, 15, groupSizes, 1, 1000000),
      lastUpdate(static_cast<int64_t>(std::time(nullptr))),
      qosRow(drixQoSMetas, 15),
      metricDataSet{0, sizeof(Record), nullptr} {}

AbstractSensor* SensorDRIXQoS::generate() { return new SensorDRIXQoS(); }

int32_t SensorDRIXQoS::init() {
    random.seed(std::random_device{}());
    randomOffset = std::uniform_int_distribution<int>(0, 9)(random);
    if (injected != nullptr) {
        channel = injected;
        return 0;
    }
    channel = ownChannel.bind() ? &ownChannel : nullptr;
    return channel == nullptr ? -1 : 0;
}

int32_t SensorDRIXQoS::shutdown() {
    ownChannel.release();
    channel = nullptr;
    return 0;
}

bool SensorDRIXQoS::readNodeData() {
    const std::string path = Platform::path(PKR_NODE_DATA_FILE);
    std::ifstream in(path);
    if (!in.is_open()) {
        sourceOK = false;
        if (lastUpdate == now() || sourcePrevOK) {
            log->logError("Can not read PKR node data file %s", path.c_str());
        }
        return false;
    }
    std::string line;
    std::getline(in, line);
    log->logDebug("%s: %s", path.c_str(), line.c_str());
    split(line, ":", drixNodeData, true);
    log->logInfo("Using PKR node data: %s", line.c_str());
    return true;
}

void SensorDRIXQoS::parseError(const std::string& source, const char* tool,
                               const std::string& error) {
    if (error.empty()) {
        lastParseErrors.erase(source);
        return;
    }
    std::string& last = lastParseErrors[source];
    if (last == error) return;
    log->logError("Error parsing  %s output: %s", tool, error.c_str());
    last = error;
}

bool SensorDRIXQoS::refreshList(int64_t t) {
    log->logInfo("refreshing QoS filesystem list (random refresh offset %lld seconds) ...",
                 static_cast<long long>(randomOffset));
    qosFsNames.clear();
    std::vector<DRIXCapParser::Row> rows;
    std::string error;
    {
        CapqChannel::Reply reply = channel->executeCmd("throtlfslist");
        // What came back once the stop began is no answer (see the capacity flow).
        if (channel->isStopping()) return false;
        if (reply) DRIXCapParser::joinPieces(*reply);
        drixCapParser.parseCmdInput(reply.get(), rows, error);
    }
    parseError("\n", "throtlfslist", error);  // no filesystem name holds a newline
    for (const DRIXCapParser::Row& row : rows) {
        const auto fs = row.find("qosLocalFileSystem");
        if (fs == row.end()) continue;
        // Listed twice, it would be reported twice under a second key.
        bool known = false;
        for (const std::string& name : qosFsNames) known = known || name == fs->second;
        if (known) continue;
        qosFsNames.push_back(fs->second);
        log->logInfo(
            "this node is manager of QoS filesystem %s, adding the filesystem to the QoS "
            "filesystems list",
            fs->second.c_str());
    }
    lastUpdate = t;
    return true;
}

const dataSet_t* SensorDRIXQoS::getMetricData() {
    sourceOK = true;
    metricDataSet.numSets = 0;
    bool noStats = false;
    const bool named = getLocalClusterName(drixClusterName);
    firstRun = false;
    if (!named) {
        // Its messages are logged at the first sample and after a good one.
        sourcePrevOK = false;
        return &metricDataSet;
    }
    log->logDebug("drixClusterName = %s", drixClusterName.c_str());
    const bool nodeData = !drixNodeData.empty() || readNodeData();
    if (!nodeData) {
        // Logged by readNodeData; read again at the next poll.
    } else if (channel == nullptr) {
        sourceOK = false;
        if (sourcePrevOK) log->logError("No capq command stub, no metrics to report.");
    } else {
        const int64_t t = now();
        // A sample the daemon's stop cut short reports nothing, and nothing
        // failed: it ends without a word (numSets is still 0).
        if ((qosFsNames.empty() || lastUpdate + LIST_REFRESH_SECS + randomOffset < t) &&
            !refreshList(t))
            return &metricDataSet;
        if (qosFsNames.empty()) {
            sourceOK = false;
            if (sourcePrevOK) log->logDebug("%s", NOT_MANAGER);
        } else {
            const uint32_t seconds = static_cast<uint32_t>(getPollPeriod() / 1000000);
            std::vector<DRIXCapParser::Row> allResults;
            for (const std::string& fs : qosFsNames) {
                std::vector<DRIXCapParser::Row> rows;
                std::string error;
                {
                    CapqChannel::Reply reply =
                        channel->executeCmd("iqlsqos:" + fs + ":" + std::to_string(seconds));
                    if (channel->isStopping()) return &metricDataSet;
                    if (reply) {
                        DRIXCapParser::joinPieces(*reply);
                        const std::size_t cut = DRIXCapParser::dropLinesWithNul(*reply);
                        if (cut != 0) log->logWarning(DRIXCapParser::NUL_LINES, cut, fs.c_str());
                        DRIXCapParser::Lines stats;
                        for (std::string& line : *reply) {
                            if (line.compare(0, sizeof STATS_PREFIX - 1, STATS_PREFIX) != 0)
                                continue;
                            log->logDebug("iqlsqos %s stats record: %s", fs.c_str(), line.c_str());
                            stats.push_back(std::move(line));
                        }
                        reply->swap(stats);
                    }
                    drixCapParser.parseCmdInput(reply.get(), rows, error);
                }
                parseError(fs, "iqlsqos", error);
                for (DRIXCapParser::Row& row : rows) {
                    const auto own = row.emplace("filesystem", fs);
                    if (!own.second) {
                        log->logWarning(
                            "adding filesystem name %s to iqlsqos output failed, field filesystem "
                            "already exists with value; %s",
                            fs.c_str(), own.first->second.c_str());
                    }
                    allResults.push_back(std::move(row));
                }
            }
            log->logDebug("allResults.size(): %lu", static_cast<unsigned long>(allResults.size()));
            if (allResults.empty()) {
                sourceOK = false;
                if (sourcePrevOK) log->logDebug("%s", NOT_MANAGER);
            } else {
                const std::size_t n = buildRecords(allResults);
                log->logDebug("number of complete data set: %us", static_cast<unsigned>(n));
                if (n == 0) {
                    sourceOK = false;
                    noStats = true;
                    if (!lastNoStats) {
                        log->logError(
                            "No stats results received from iqlsqos, no metrics to report.");
                    }
                }
            }
        }
    }
    lastNoStats = noStats;
    if (!sourcePrevOK && sourceOK) log->logInfo("Resumed reporting.");
    sourcePrevOK = sourceOK;
    return &metricDataSet;
}

std::size_t SensorDRIXQoS::buildRecords(const std::vector<DRIXCapParser::Row>& rows) {
    Record* records = qosMetricData.prepare(rows.size(), metricDataSet);
    char clusterField[64];
    safeStrncpy(clusterField, drixClusterName.c_str(), sizeof clusterField);
    const uint32_t nodeID = FNV1AHash32(clusterField, sizeof clusterField);
    static const char* const valueColumns[8] = {"iops", "ioql",    "qsdl",   "et",
                                                "MBs",  "maxIOPS", "maxMBS", "nNodes"};
    static const char* const missing[8] = {
        "Missing iops value for filesystem %s",   "Missing ioql value for filesystem %s",
        "Missing qsdl for filesystem %s",         "Missing et value for filesystem %s",
        "Missing MBs value for filesystem %s",    "Missing maxIOPS value for filesystem %s",
        "Missing maxMBS value for filesystem %s", "Missing nNodes value for filesystem %s"};
    keys.clear();
    std::size_t n = 0;
    for (const DRIXCapParser::Row& stats : rows) {
        char* row = reinterpret_cast<char*>(&records[n]);
        std::memset(row, 0, sizeof(Record));
        qosRow.putString(row, CLUSTER, drixClusterName);
        qosRow.putString(row, SENSOR, getName());
        const auto fs = stats.find("filesystem");
        if (fs == stats.end()) {
            log->logWarning("Missing filesystem name");
            continue;
        }
        qosRow.putString(row, FS, fs->second);
        const char* fsField = records[n].drixFSName;
        const auto pool = stats.find("pool");
        if (pool == stats.end()) {
            log->logWarning("Missing pool name for filesystem %s", fsField);
            continue;
        }
        qosRow.putString(row, POOL, pool->second);
        const auto cls = stats.find("class");
        if (cls == stats.end()) {
            log->logWarning("Missing class name for filesystem %s", fsField);
            continue;
        }
        qosRow.putString(row, CLASS, cls->second);
        const auto fset = stats.find("fset");
        qosRow.putString(row, FSET, fset == stats.end() ? std::string("reserved") : fset->second);
        const uint32_t hash = keys.claim(qosRow.keyStringHash(row), [&] {
            return joinKeyText({fsField, records[n].drixPoolName});
        });
        qosRow.putKey(row, MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
        bool complete = true;
        for (int k = 0; k < 8 && complete; ++k) {
            const auto value = stats.find(valueColumns[k]);
            if (value == stats.end()) {
                log->logWarning(missing[k], fsField);
                complete = false;
            } else {
                qosRow.putNumber(row, VALUES + k, DRIXCapParser::unsignedText(value->second));
            }
        }
        if (complete) ++n;
    }
    keys.reportCollisions(*log, getName());
    metricDataSet.numSets = static_cast<uint32_t>(n);
    return n;
}

static volatile RegisterSensorGenerator<SensorDRIXQoS> registerSensorDRIXQoS(
    SensorID::DRIXQoS, SensorDRIXQoS::generate);
