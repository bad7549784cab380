// Generic sensor meta-files: one sensor entry of type "Generic" names a
// meta-file "<name>.cfg" (in the meta-file directory, or beside the daemon
// configuration) that describes the sensor's key, proxy command and metric
// table; it becomes one GenericSensor handed to the controller. A fault in a
// meta-file disables only that sensor. See GenericMetaFile.h for the contract.
#include "GenericMetaFile.h"

#include <iterator>
#include <string>
#include <vector>

#include "Configuration.h"
#include "DirectSensors.h"
#include "IPFIXPacket.h"
#include "IPFIXTemplSet.h"
#include "ParamNames.h"
#include "SensorCtrl.h"
#include "StdOutLogger.h"

namespace {

constexpr char BLANKS[] = " \n\r\t";

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

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

// A data packet must carry at least one whole row.
constexpr uint32_t MAX_ROW_LEN = IPFIXPacket::MAX_RECORDS_LEN;

// Whether the controller can write the template packet of this sensor's one
// virtual sensor. The packet unit lays it out, as it does at every sample,
// from the sensor's own templates and metadata rows; the identifiers the
// controller gives the templates later do not change its length.
bool templatePacketFits(const AbstractSensor& sensor) {
    IPFIXTemplSet meta(IPFIX_FIRST_TEMPLATE_ID);
    IPFIXTemplSet metrics(IPFIX_FIRST_TEMPLATE_ID);
    for (const FieldSpecifier& f : *sensor.getMetaDataDef()) meta.addElementHostByteOrder(&f);
    for (const FieldSpecifier& f : *sensor.getMetricDataDef()) metrics.addElementHostByteOrder(&f);
    std::vector<char> packet(IPFIXPacket::PACKET_BUFFER_LEN);
    uint32_t length = 0;
    return IPFIXPacket::writeTemplatePacket(packet.data(), 0, 0, meta, sensor.getMetaData()[0],
                                            metrics, &length);
}

constexpr int32_t MAX_METRIC_ID = 0x7FFF;  // the top bit is IPFIX's enterprise bit

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += n + " ";
    return out;
}

}  // namespace

MetaSchema::MetaSchema()
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
    if (!templatePacketFits(*sensor)) {
        logger->logError(
            "The template packet of %zu metrics would exceed %u bytes in file %s, "
            "skipping sensor %s.",
            table.size(), IPFIXPacket::MAX_MESSAGE_LEN, p, n);
        delete sensor;
        return;
    }
    sensor->setPollPeriod(static_cast<uint64_t>(period) * ONE_SEC_IN_MICROSECONDS);
    logger->logInfo("Allocated generic sensor %s with reporting period %d sec", n, period);
    if (!addSensor(sensor, nullptr)) {
        logger->logWarning("Could not add generic sensor %s - duplicate entry in config file?", n);
        delete sensor;
    }
}
