// The sensor list: once at start-up, between constructing the controller and
// starting its thread, the `sensors` list (or the `blaster` group) of the
// daemon configuration becomes sensor objects handed to the controller. Here
// too: the cluster-wide singleton election behind `restrict = "@key"`, and
// the generic sensors built from their meta-files.
//
// Everything runs on the main thread before any controller or sensor thread
// exists; nothing outlives the call but the sensors added to the controller.
// A fault in one entry or meta-file disables only that sensor.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Configuration.h"
#include "DirectSensors.h"
#include "IPFIXTemplSet.h"
#include "LineReader.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"
#include "SensorFactory.h"
#include "StdOutLogger.h"

DirectSensorMakers directSensorMakers;

namespace {

constexpr char KVREG_TOOL[] = "/usr/vnx/qorm/bin/kvreg";
constexpr char NODE_DATA_FILE[] = "/var/qorm/gen/qormNodeData";
constexpr char BLANKS[] = " \n\r\t";

// The query tool and the node data file belong to the filesystem, outside
// this system: bound what they may cost the start.
constexpr int KVREG_TIMEOUT_MS = 10000;
constexpr size_t KVREG_MAX_OUTPUT = 65536;
constexpr size_t NODE_DATA_MAX_LINE = 65536;
// The tool's output is awaited in slices of this length, so that a stop
// request during the start-up is seen soon.
constexpr int KVREG_STOP_CHECK_MS = 100;

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

std::string toLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// ---------------------------------------------------------------------------
// Singleton election

// The key is handed to the tool as one argument, never to a shell; the check
// also keeps option-like or empty keys away from it.
bool validRepositoryKey(const std::string& key) {
    if (key.empty() || key[0] == '-') return false;
    for (char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

enum class QueryResult { Ok, NotRun, TimedOut, Stopped };

// Runs "<tool> vget <key>" with standard error joined to the output and
// collects at most KVREG_MAX_OUTPUT bytes of it (the rest is read and dropped
// so the tool never blocks on a full pipe).
QueryResult runRepositoryQuery(const std::string& tool, const std::string& key,
                               std::string& output) {
    if (SensorCtrl::stopPending()) return QueryResult::Stopped;
    ChildProcess child;
    ChildProcess::Options options;
    options.input = ChildProcess::Input::Null;
    options.output = ChildProcess::Output::Pipe;
    options.error = ChildProcess::ErrorOutput::ToOutput;
    if (!child.start(tool, {tool, "vget", key}, options).ok()) return QueryResult::NotRun;

    FdIo::Deadline deadline(KVREG_TIMEOUT_MS);
    QueryResult result = QueryResult::Ok;
    char buf[2048];
    for (;;) {
        if (SensorCtrl::stopPending()) {
            result = QueryResult::Stopped;
            break;
        }
        size_t got = 0;
        const int left = deadline.remainingMs();
        const FdIo::IoResult r =
            child.read(buf, sizeof buf, got, std::min(left, KVREG_STOP_CHECK_MS));
        if (r == FdIo::IoResult::Ok) {
            if (output.size() < KVREG_MAX_OUTPUT)
                output.append(buf, std::min(got, KVREG_MAX_OUTPUT - output.size()));
            continue;
        }
        if (r == FdIo::IoResult::TimedOut && !deadline.passed()) continue;
        if (r == FdIo::IoResult::TimedOut) result = QueryResult::TimedOut;
        break;
    }
    child.closeOutput();
    // A tool that closed its output may still linger; it gets what is left
    // of the time-out (none at a stop) before it is killed.
    if (result != QueryResult::Ok || !child.wait(deadline.remainingMs()).reaped) {
        child.signal(SIGKILL);
        child.wait(1000);
    }
    child.release();
    return result;
}

// The tool answers "vget:<key>:<node>..."; the node is the third non-empty
// colon-separated piece.
bool parseRepositoryReply(const std::string& reply, std::string& node) {
    if (reply.compare(0, 5, "vget:") != 0) return false;
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find(':', start);
        if (end == std::string::npos) end = reply.size();
        if (end > start) pieces.push_back(reply.substr(start, end - start));
        start = end + 1;
    }
    if (pieces.size() < 3) return false;
    node = pieces[2];
    return true;
}

// First line of the node data file, at most NODE_DATA_MAX_LINE bytes of it.
bool readFirstLine(const std::string& path, std::string& line) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    LineReader reader(fd, NODE_DATA_MAX_LINE);
    const LineReader::Status status = reader.readLine(line, KVREG_TIMEOUT_MS);
    close(fd);
    if (status != LineReader::Status::Line && status != LineReader::Status::TooLong) line.clear();
    return true;
}

// True when this node runs the sensor: the node that the configuration
// repository names for the key after the "@" of restrictValue.
bool electSingleton(const LoggerStub& log, const std::string& sensorName,
                    const std::string& restrictValue) {
    const LoggerStub* logger = &log;
    const char* n = sensorName.c_str();
    const char* r = restrictValue.c_str();
    logger->logInfo("Sensor %s restrict has singleton value %s", n, r);

    const std::string key = restrictValue.substr(1);
    if (!validRepositoryKey(key)) {
        logger->logError(
            "Sensor %s restrict key is not a valid repository key (letters, digits, '.', '_' "
            "and '-' only): %s",
            n, key.c_str());
        return false;
    }
    const std::string tool = Platform::path(KVREG_TOOL);
    const std::string command = tool + " vget " + key;
    logger->logDebug("Sensor %s singleton query command is: %s", n, command.c_str());

    std::string output;
    const QueryResult run = runRepositoryQuery(tool, key, output);
    if (run == QueryResult::NotRun) {
        logger->logError("Sensor %s failed to run singleton query command: %s", n, command.c_str());
        return false;
    }
    if (run == QueryResult::Stopped) {
        logger->logInfo("Sensor %s singleton query given up: the daemon is stopping", n);
        return false;
    }
    if (run == QueryResult::TimedOut) {
        logger->logError("Sensor %s singleton query command timed out after %d ms: %s", n,
                         KVREG_TIMEOUT_MS, command.c_str());
        return false;
    }
    output = trim(output);
    logger->logDebug("Sensor %s singleton query command returned: %s", n, output.c_str());

    std::string singleton;
    if (!parseRepositoryReply(output, singleton)) {
        logger->logError("Sensor %s could not retrieve valid singleton node from KVR output: %s", n,
                         output.c_str());
        return false;
    }
    logger->logInfo("Sensor %s singleton node from KVR is: %s", n, singleton.c_str());

    std::string localName;
    const std::string dataFile = Platform::path(NODE_DATA_FILE);
    std::string line;
    if (!readFirstLine(dataFile, line)) {
        logger->logError("Sensor %s unable to read DRIX PKR node data file %s", n,
                         dataFile.c_str());
    } else {
        logger->logDebug("Sensor %s PKR node data: %s", n, line.c_str());
        const size_t pos = line.find(":" + singleton + ":");
        if (pos != std::string::npos) {
            localName = singleton;
            logger->logInfo("Sensor %s found singleton node name %s in PKR data (at position: %zu)",
                            n, singleton.c_str(), pos);
        } else {
            logger->logInfo("Sensor %s singleton node name %s not found in PKR data", n,
                            singleton.c_str());
        }
    }

    if (localName.empty()) {
        if (SensorCtrl::config != nullptr)
            SensorCtrl::config->getParamStore().getString(Cfg::HOSTNAME, localName);
        if (!localName.empty())
            logger->logInfo(
                "Sensor %s comparing singleton node name with hostname from config "
                "file: %s",
                n, localName.c_str());
    }
    if (localName.empty()) {
        char host[64];
        if (gethostname(host, sizeof host) == 0) {
            host[sizeof host - 1] = '\0';
            localName = host;
            if (!localName.empty())
                logger->logInfo("Sensor %s comparing singleton node name with system hostname: %s",
                                n, localName.c_str());
        }
    }

    if (!localName.empty() && localName == singleton) {
        logger->logInfo("Sensor %s this node is elected for restrict %s", n, r);
        return true;
    }
    logger->logInfo("Sensor %s this node is not elected for restrict %s", n, r);
    return false;
}

// ---------------------------------------------------------------------------
// Generic sensor meta-files

const Cfg::ParamDef KEY_DEFS[] = {
    {Cfg::intVec, 0, Cfg::KEYPOS, "Index of the key element.", nullptr},
    {Cfg::strVec, 0, Cfg::KEYELEM, "Name of the key element.", nullptr},
};
const Cfg::ParamDef PROXY_DEFS[] = {
    {Cfg::strVec, 0, Cfg::SENSPCMD, "Proxy command.", nullptr},
    {Cfg::strVec, 0, Cfg::SENSPARGS, "Proxy args.", nullptr},
    {Cfg::strVec, 0, Cfg::SENSSUBCMD, "Proxy sub-command.", nullptr},
};
const Cfg::ParamDef METRIC_DEFS[] = {
    {Cfg::strVec, 0, Cfg::MNAME, "Name of the metric.", nullptr},
    {Cfg::intVec, 0, Cfg::MID, "Metric internal identifier.", nullptr},
    {Cfg::strVec, 0, Cfg::MTYPE, "Metric data type.", nullptr},
    {Cfg::intVec, 0, Cfg::MLEN, "Metric data length.", nullptr},
    {Cfg::strVec, 0, Cfg::MSEMANTIC, "Metric semantic type.", nullptr},
};

// The schema a meta-file is read against; lives while the sensor list is read.
struct MetaSchema {
    MetaSchema()
        : topDefs{
              {Cfg::paramVec, 0, Cfg::KEYELEMS, "Key elements", &keyDef},
              {Cfg::paramVec, 0, Cfg::PROXYCONF, "Proxy configuration", &proxyDef},
              {Cfg::paramVec, 0, Cfg::METRICS, "Metric definitions", &metricDef},
              {Cfg::intVec, 0, Cfg::SENSORID, "Sensor identifier", nullptr},
          } {
        keyDef.putDefArray(std::size(KEY_DEFS), KEY_DEFS);
        proxyDef.putDefArray(std::size(PROXY_DEFS), PROXY_DEFS);
        metricDef.putDefArray(std::size(METRIC_DEFS), METRIC_DEFS);
        top.putDefArray(std::size(topDefs), topDefs);
    }

    Cfg::ParamDefStore keyDef;
    Cfg::ParamDefStore proxyDef;
    Cfg::ParamDefStore metricDef;
    Cfg::ParamDef topDefs[4];
    Cfg::ParamDefStore top;
};

struct TypeWord {
    const char* word;
    DataTypeID type;
    int32_t len;  // required length; 0 for any
};
constexpr TypeWord TYPE_WORDS[] = {
    {"UINT32", DT_UINT_32, 4},    {"UINT64", DT_UINT_64, 8},    {"STRING", DT_STRING, 0},
    {"FP2_32", DT_FPCENTI_32, 4}, {"FP6_64", DT_FPMICRO_64, 8},
};

struct SemanticWord {
    const char* word;
    SemanticType semantic;
};
constexpr SemanticWord SEMANTIC_WORDS[] = {
    {"QUANTITY", SEMTYPE_QUANTITY},
    {"COUNTER", SEMTYPE_TOTALCOUNTER},
    {"DELTA", SEMTYPE_DELTACOUNTER},
    {"KEYELEM", SEMTYPE_IDENTIFIER},
};

const TypeWord* findType(const std::string& word) {
    for (const TypeWord& t : TYPE_WORDS)
        if (word == t.word) return &t;
    return nullptr;
}

const SemanticWord* findSemantic(const std::string& word) {
    for (const SemanticWord& s : SEMANTIC_WORDS)
        if (word == s.word) return &s;
    return nullptr;
}

// Limits of what one virtual sensor can export: a data packet must carry at
// least one whole row, and the template packet is the message header, a
// template set with the 5-field metadata template, the metadata set (one
// 48-byte row per metric) and a template set with the metric template
// (8 bytes per field).
constexpr uint32_t MAX_ROW_LEN = SensorCtrl::MAX_RECORDS_LEN;
constexpr uint64_t templatePacketLength(uint64_t metrics) {
    return sizeof(IPFIX) + sizeof(IPFIX_Set) + sizeof(IPFIX_Temp) + 5 * sizeof(FieldSpecifier) +
           sizeof(IPFIX_Set) + sizeof(IPFIX_Temp) + metrics * sizeof(FieldSpecifier) +
           sizeof(IPFIX_Set) + metrics * sizeof(MetricsMetadata);
}
static_assert(templatePacketLength(1) == 76 + 56, "a template packet is 76 + 56 x k bytes");

constexpr int32_t MAX_METRIC_ID = 0x7FFF;  // the top bit is IPFIX's enterprise bit

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += n + " ";
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------

void SensorCtrl::parseSensorConfig() {
    if (config == nullptr) {
        logger->logError("parseSensorConfig: no configuration");
        return;
    }
    const Cfg::ParamValStore& params = config->getParamStore();

    const Cfg::ParamVec* blaster = nullptr;
    if (params.getParamStoreVec(Cfg::BLASTERMODE, blaster) && blaster != nullptr &&
        !blaster->empty() && (*blaster)[0] != nullptr) {
        const Cfg::ParamValStore& entry = *(*blaster)[0];
        logger->logWarning("Blaster mode - all other sensors are disabled!");
        std::string type = "metric";
        entry.getString(Cfg::BLASTERTYPE, type);

        AbstractSensor* sensor = nullptr;
        if (type == "top-proc") {
            if (directSensorMakers.blasterTopProc != nullptr)
                sensor = directSensorMakers.blasterTopProc();
            else
                logger->logError("Unknown sensor %s in configuration.", "BlasterTopProc");
            blasterTimeDelta = 10000;
        } else {
            if (type != "metric")
                logger->logError("Blaster type \"%s\" not supported, using metric blaster.",
                                 type.c_str());
            sensor = getSensorByName(SensorID::sensorNames[SensorID::Blaster], 0, "");
            blasterTimeDelta = 1000;
        }
        if (sensor != nullptr) {
            sensor->setPollPeriod(0);
            if (!addSensor(sensor, nullptr)) delete sensor;
        }

        int32_t period = 0;
        entry.getInt(Cfg::BLASTERPERIOD, period);
        blasterTimeOut = period;
        if (period <= 0) {
            logger->logError("Blaster mode: setting timeout to 1 us!");
            blasterTimeOut = 1;
        }
        // The Blaster starts sending at once: the connections started by the
        // constructor are waited for, all together and at most the socket
        // time-out, before the thread runs; a stop request ends the wait.
        std::vector<size_t> pending;
        for (size_t i = 0; i < outputSockets.size(); ++i)
            if (outputSockets[i]->isConnecting()) pending.push_back(i);
        awaitConnects(pending, static_cast<int64_t>(socketTimeout) * 1000, true);
        for (size_t i : pending) {
            Socket* socket = outputSockets[i];
            // A failed one is started afresh by the first sample.
            if (!socket->checkConnection(0) && !socket->isConnecting()) socket->closeSocket(false);
        }
        return;
    }

    const MetaSchema metaSchema;
    const Cfg::ParamValStore emptyStore;
    const Cfg::ParamVec* list = nullptr;
    if (!params.getParamStoreVec(Cfg::SENSORS, list) || list == nullptr) return;

    for (const Cfg::ParamValStore* entry : *list) {
        if (entry == nullptr) continue;
        std::string name;
        std::string filter;
        std::string restrictValue;
        // An entry without a period is treated as switched off.
        int32_t period = 0;
        entry->getString(Cfg::SENSNAME, name);
        entry->getInt(Cfg::SENSPERIOD, period);
        entry->getString(Cfg::SENSFILTER, filter);
        entry->getString(Cfg::SENSRESTRICT, restrictValue);

        if (restrictValue.size() > 1 &&
            restrictValue.compare(0, 1, Cfg::SENSRESTRICTSINGLEPRE) == 0 &&
            !electSingleton(*logger, name, restrictValue)) {
            logger->logInfo("Sensor %s disabled: reporting period is 0", name.c_str());
            continue;
        }
        if (period <= 0) {
            logger->logInfo("Sensor %s disabled: reporting period is 0", name.c_str());
            continue;
        }

        std::string type;
        entry->getString(Cfg::SENSTYPE, type);
        if (toLower(type) == "generic") {
            createGenericSensor(&metaSchema.top, &emptyStore, *entry, name, period);
            continue;
        }

        AbstractSensor* sensor = getSensorByName(name, period, filter);
        if (sensor == nullptr) continue;
        if (!addSensor(sensor, nullptr)) {
            logger->logWarning("Could not add sensor %s - duplicate entry in config file?",
                               name.c_str());
            delete sensor;
        }
    }
}

AbstractSensor* SensorCtrl::getSensorByName(const std::string& name, int period,
                                            std::string filter) {
    AbstractSensor* sensor = SensorFactory::createSensor(name);
    if (sensor == nullptr) {
        if (name == SensorID::sensorNames[SensorID::CephCluster] &&
            directSensorMakers.cephCluster != nullptr)
            sensor = directSensorMakers.cephCluster();
        else if (name == SensorID::sensorNames[SensorID::CephPool] &&
                 directSensorMakers.cephPool != nullptr)
            sensor = directSensorMakers.cephPool();
    }
    if (sensor == nullptr) {
        logger->logError("Unknown sensor %s in configuration.", name.c_str());
        logger->logError(
            "Please check that the sensor name is correct, or if this is a generic sensor "
            "(protocols), make sure that the sensor configuration includes the entry: "
            "type = \"Generic\" ");
        return nullptr;
    }

    bool periodSet = false;
    if (name == SensorID::sensorNames[SensorID::DRIXQoS] && period >= 1 && period <= 9) {
        logger->logWarning(
            "Sensor DRIXQoS started with a smaller than the minimum allowed period, %d secs "
            "instead of 10, using 10 instead",
            period);
        period = 10;
        sensor->setPollPeriod(10 * ONE_SEC_IN_MICROSECONDS);
        periodSet = true;
    } else if (period >= 1) {
        sensor->setPollPeriod(static_cast<uint64_t>(period) * ONE_SEC_IN_MICROSECONDS);
        periodSet = true;
    }
    if (periodSet && name == SensorID::sensorNames[SensorID::DRIXDiskCap] && period < 86400)
        logger->logWarning(
            "Sensor group DRIXDiskCap, DRIXPoolCap and DRIXInodeCap started with a smaller than "
            "the recommended period, %d secs instead of 86400",
            period);

    if (sensor->getPollPeriod() < ONE_SEC_IN_MICROSECONDS)
        logger->logInfo("Allocated sensor %s with *FAST_MODE* turned on", name.c_str());
    else
        logger->logInfo("Allocated sensor %s with reporting period %d sec", name.c_str(),
                        static_cast<int>(sensor->getPollPeriod() / ONE_SEC_IN_MICROSECONDS));
    sensor->setFilter(filter);
    return sensor;
}

void SensorCtrl::createGenericSensor(const Cfg::ParamDefStore* metaSchema,
                                     const Cfg::ParamValStore* emptyStore,
                                     const Cfg::ParamValStore& sensorEntry, const std::string& name,
                                     int period) {
    if (config == nullptr || metaSchema == nullptr || emptyStore == nullptr) return;
    const char* n = name.c_str();
    const Cfg::ParamValStore& params = config->getParamStore();

    std::string path;
    std::string dir;
    if (params.getString(Cfg::METACFGDIR, dir)) {
        path = trim(dir);
        if (path.empty() || path.back() != '/') path += '/';
    } else {
        std::string cfgPath;
        params.getString(Cfg::CONFIG, cfgPath);
        const size_t slash = cfgPath.rfind('/');
        if (slash != std::string::npos) path = cfgPath.substr(0, slash + 1);
    }
    path += name + ".cfg";
    const char* p = path.c_str();

    // The loader's own syntax and schema errors go to standard output.
    StdOutLogger console;
    Cfg::Configuration meta(*metaSchema, *emptyStore);
    if (!meta.loadConfigFile(path, &console)) {
        logger->logWarning("Failed to read meta file %s", p);
        return;
    }
    const Cfg::ParamValStore& file = meta.getParamStore();

    int32_t sensorID = 0;
    if (!file.getInt(Cfg::SENSORID, sensorID)) {
        logger->logError("failed to find parameter %s in %s skipping sensor %s", Cfg::SENSORID, p,
                         n);
        return;
    }
    // 0 is "Unknown"; there are no identities beyond the table.
    if (sensorID < 1 || !SensorID::isValidSensorID(sensorID)) {
        logger->logError("Sensor identifier %d in %s is outside 1-%d, skipping sensor %s.",
                         sensorID, p, SensorID::NUM_SENSOR_IDS - 1, n);
        return;
    }

    const Cfg::ParamVec* keyElems = nullptr;
    const Cfg::ParamVec* metrics = nullptr;
    const Cfg::ParamVec* proxy = nullptr;
    const std::pair<const char*, const Cfg::ParamVec**> groups[] = {
        {Cfg::KEYELEMS, &keyElems}, {Cfg::METRICS, &metrics}, {Cfg::PROXYCONF, &proxy}};
    for (const auto& group : groups) {
        if (!file.getParamStoreVec(group.first, *group.second) || *group.second == nullptr ||
            (*group.second)->empty()) {
            logger->logError("failed to find parameter group %s in %s, skipping sensor %s",
                             group.first, p, n);
            return;
        }
    }

    const Cfg::ParamValStore* proxyEntry = (*proxy)[0];
    auto proxySetting = [&](const char* key, std::string& out) {
        return sensorEntry.getString(key, out) ||
               (proxyEntry != nullptr && proxyEntry->getString(key, out));
    };
    std::string proxyCmd;
    std::string proxyArgs;
    std::string subCmd;
    if (!proxySetting(Cfg::SENSPCMD, proxyCmd)) {
        logger->logError("failed to find required %s parameter in %s, skipping sensor %s.",
                         Cfg::SENSPCMD, p, n);
        return;
    }
    if (!proxySetting(Cfg::SENSPARGS, proxyArgs)) {
        logger->logInfo("No value specified for parameter %s for sensor %s.", Cfg::SENSPARGS, n);
        proxyArgs.clear();
    }
    if (!proxySetting(Cfg::SENSSUBCMD, subCmd)) {
        logger->logError("failed to find required %s parameter in %s, skipping sensor %s.",
                         Cfg::SENSSUBCMD, p, n);
        return;
    }
    // The sub-command is sent as one request line: a line break would split it
    // into two requests and desynchronise every sensor sharing the proxy.
    if (subCmd.find_first_of("\r\n") != std::string::npos) {
        logger->logError("Parameter %s of sensor %s holds a line break, skipping sensor %s.",
                         Cfg::SENSSUBCMD, n, n);
        return;
    }

    const size_t k = keyElems->size();
    const size_t m = metrics->size();
    // Every key element is one of the metrics; more keys than metrics leave
    // key columns without a definition.
    if (k > m) {
        logger->logError(
            "More key elements (%zu) than metrics (%zu) in file %s, skipping sensor %s.", k, m, p,
            n);
        return;
    }

    std::vector<std::string> keyNames(k);
    for (const Cfg::ParamValStore* entry : *keyElems) {
        int32_t pos = -1;
        if (entry == nullptr || !entry->getInt(Cfg::KEYPOS, pos) || pos < 0 ||
            static_cast<size_t>(pos) >= k) {
            logger->logWarning("key spec: pos value out of range");
            continue;
        }
        std::string elem;
        entry->getString(Cfg::KEYELEM, elem);
        keyNames[pos] = trim(elem);
    }

    std::vector<MetricsMetadata> table(m + 1);
    std::memset(table.data(), 0, table.size() * sizeof(MetricsMetadata));
    table[k] = ROW_HEADER_METRIC_KEY;
    size_t nextOrdinary = k + 1;
    // Row length in bytes, summed before any length is narrowed to 16 bits.
    uint64_t rowBytes = ROW_METRIC_KEY_LEN;
    std::map<std::string, int32_t> seenNames;
    std::map<int32_t, std::string> seenIds;
    bool failed = false;

    for (const Cfg::ParamValStore* entry : *metrics) {
        if (entry == nullptr) continue;
        std::string mname;
        if (!entry->getString(Cfg::MNAME, mname)) {
            logger->logError(
                "Missing required parameter \"%s\" in metrics definition in file %s, skipping "
                "sensor %s.",
                Cfg::MNAME, p, n);
            failed = true;
            continue;
        }
        mname = trim(mname);
        const char* mn = mname.c_str();
        int32_t id = 0;
        if (!entry->getInt(Cfg::MID, id)) {
            logger->logError(
                "Missing required parameter  \"%s\" for metric %s in file %s, skipping sensor %s.",
                Cfg::MID, mn, p, n);
            failed = true;
            continue;
        }
        std::string typeWord;
        if (!entry->getString(Cfg::MTYPE, typeWord)) {
            logger->logError(
                "Missing required parameter \"%s\" for metric %s in file %s, skipping sensor %s.",
                Cfg::MTYPE, mn, p, n);
            failed = true;
            continue;
        }
        const TypeWord* type = findType(typeWord);
        if (type == nullptr) {
            logger->logError("Disallowed type %s for metric %s in file %s, skipping sensor %s.",
                             typeWord.c_str(), mn, p, n);
            failed = true;
            continue;
        }
        int32_t len = 0;
        if (!entry->getInt(Cfg::MLEN, len)) {
            logger->logError(
                "Missing required parameter \"%s\" for metric %s in file %s, skipping sensor %s.",
                Cfg::MLEN, mn, p, n);
            failed = true;
            continue;
        }
        std::string semanticWord;
        if (!entry->getString(Cfg::MSEMANTIC, semanticWord)) {
            logger->logError(
                "Missing required parameter  \"%s\" for metric %s in file %s, skipping sensor %s.",
                Cfg::MSEMANTIC, mn, p, n);
            failed = true;
            continue;
        }
        const SemanticWord* semantic = findSemantic(semanticWord);
        if (semantic == nullptr) {
            logger->logError(
                "Disallowed semantic type %s for metric %s in file %s, skipping sensor %s.",
                semanticWord.c_str(), mn, p, n);
            failed = true;
            continue;
        }
        if (type->len != 0 && len != type->len) {
            logger->logError(
                "Type/length mismatch: metric: %s, type: %d, length: %d, skipping "
                "sensor %s.",
                mn, static_cast<int>(type->type), len, n);
            failed = true;
            continue;
        }
        // Checks of what the table and the IPFIX templates can carry.
        if (mname.empty() || mname.size() >= METRIC_NAME_LEN) {
            logger->logError(
                "Metric name \"%s\" in file %s must have 1 to %zu characters, "
                "skipping sensor %s.",
                mn, p, METRIC_NAME_LEN - 1, n);
            failed = true;
            continue;
        }
        if (type->len == 0 && len < 1) {
            logger->logError(
                "Metric %s has string length %d, at least 1 is required, skipping "
                "sensor %s.",
                mn, len, n);
            failed = true;
            continue;
        }
        if (id < 1 || id > MAX_METRIC_ID) {
            logger->logError(
                "Metric %s has identifier %d outside 1-%d in file %s, skipping "
                "sensor %s.",
                mn, id, MAX_METRIC_ID, p, n);
            failed = true;
            continue;
        }
        if (id == METRIC_ID_METRIC_KEY) {
            logger->logError(
                "Metric %s uses identifier %d of the metric key in file %s, skipping "
                "sensor %s.",
                mn, id, p, n);
            failed = true;
            continue;
        }
        auto sameName = seenNames.find(mname);
        if (sameName != seenNames.end()) {
            logger->logError("Metric %s is defined twice in file %s, skipping sensor %s.", mn, p,
                             n);
            failed = true;
            continue;
        }
        seenNames[mname] = id;
        auto sameId = seenIds.find(id);
        if (sameId != seenIds.end()) {
            logger->logError(
                "Metric %s uses identifier %d of metric %s in file %s, skipping "
                "sensor %s.",
                mn, id, sameId->second.c_str(), p, n);
            failed = true;
            continue;
        }
        seenIds[id] = mname;

        MetricsMetadata row;
        std::memset(&row, 0, sizeof row);
        AbstractSensor::safeStrncpy(row.metricName, mn, sizeof row.metricName);
        row.metricID = static_cast<uint16_t>(id);
        row.metricType = static_cast<uint16_t>(type->type);
        row.metricLen = static_cast<uint16_t>(len);
        row.metricSemantic = static_cast<uint16_t>(semantic->semantic);

        const auto key = std::find(keyNames.begin(), keyNames.end(), mname);
        if (key != keyNames.end()) {
            if (semantic->semantic != SEMTYPE_IDENTIFIER) {
                logger->logError(
                    "Key element %s must have semantic type \"KEYELEM\", skipping sensor %s.", mn,
                    n);
                failed = true;
                continue;
            }
            if (type->type != DT_STRING) {
                logger->logError("Key element %s must have type \"STRING\", skipping sensor %s.",
                                 mn, n);
                failed = true;
                continue;
            }
            table[key - keyNames.begin()] = row;
        } else {
            if (nextOrdinary > m) {
                logger->logError(
                    "Mismatch between the length of keys in \"%s\" and metric definitions in "
                    "\"%s\"in file %s, skipping sensor %s.",
                    Cfg::KEYELEMS, Cfg::METRICS, p, n);
                failed = true;
                continue;
            }
            if (semantic->semantic == SEMTYPE_IDENTIFIER) {
                logger->logError(
                    "Metric %s cannot have semantic type \"KEYELEM\", skipping sensor %s.", mn, n);
                failed = true;
                continue;
            }
            if (type->type == DT_STRING) {
                logger->logError("Metric %s cannot have type \"STRING\", skipping sensor %s.", mn,
                                 n);
                failed = true;
                continue;
            }
            table[nextOrdinary++] = row;
        }
        rowBytes += static_cast<uint64_t>(len);
    }
    if (failed) return;

    for (size_t i = 0; i < k; ++i) {
        if (keyNames[i] != table[i].metricName) {
            logger->logError(
                "Key element %s does not have a matching metric definition in file %s, skipping "
                "sensor %s",
                keyNames[i].c_str(), p, n);
            return;
        }
    }
    if (rowBytes > MAX_ROW_LEN) {
        logger->logError(
            "Rows of %llu bytes do not fit in one IPFIX data set (at most %u) in "
            "file %s, skipping sensor %s.",
            static_cast<unsigned long long>(rowBytes), MAX_ROW_LEN, p, n);
        return;
    }
    if (templatePacketLength(table.size()) > MAX_MESSAGE_LEN) {
        logger->logError(
            "The template packet of %zu metrics would exceed %u bytes in file %s, "
            "skipping sensor %s.",
            table.size(), MAX_MESSAGE_LEN, p, n);
        return;
    }

    std::vector<std::string> rowNames;
    for (const MetricsMetadata& row : table) rowNames.emplace_back(row.metricName);
    logger->logInfo("Generic sensorName:\t%s\n\tsensorID:\t%d\n\tperiod:\t%d", n, sensorID, period);
    logger->logInfo("\tproxy cmd:%s,args:%s and subcmd:%s", proxyCmd.c_str(), proxyArgs.c_str(),
                    subCmd.c_str());
    logger->logInfo("\tkey components: %s", joinNames(keyNames).c_str());
    logger->logInfo("\tmetrics: %s", joinNames(rowNames).c_str());

    if (directSensorMakers.generic == nullptr) {
        logger->logError("Generic sensors are not part of this program, skipping sensor %s.", n);
        return;
    }
    AbstractSensor* sensor = directSensorMakers.generic(
        name, sensorID, table, {static_cast<uint32_t>(table.size())}, proxyCmd, proxyArgs, subCmd);
    if (sensor == nullptr) return;
    sensor->setPollPeriod(static_cast<uint64_t>(period) * ONE_SEC_IN_MICROSECONDS);
    logger->logInfo("Allocated generic sensor %s with reporting period %d sec", n, period);
    if (!addSensor(sensor, nullptr)) {
        logger->logWarning("Could not add generic sensor %s - duplicate entry in config file?", n);
        delete sensor;
    }
}
