// A generic sensor reads whatever its proxy program answers to its
// sub-command: "_key_" lines name the row (node name, sensor name, own key
// strings), "_val_" lines give the metric values by name.
#include "GenericSensor.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "FNV1AHash.h"
#include "GenericStub.h"

const std::string GenericSensor::NOTSUPPORTED = "[NOTSUPPORTED]";
const std::string GenericSensor::NOKEY = "-";

namespace {

constexpr uint16_t METRIC_KEY_ID = 106;

// A table needs one count per virtual sensor even when the caller gave none.
const uint32_t* countsOf(const std::vector<uint32_t>& sensorSize, const uint32_t& fallback) {
    return sensorSize.empty() ? &fallback : sensorSize.data();
}

// Writes the low len bytes of v big-endian; bytes beyond eight are zero.
void putBigEndian(char* field, uint32_t len, uint64_t v) {
    for (uint32_t k = 0; k < len; ++k) {
        field[len - 1 - k] = k < 8 ? static_cast<char>((v >> (8 * k)) & 0xFF) : 0;
    }
}

template <typename T>
bool extract(const std::string& text, T& out) {
    std::istringstream in(text);
    in >> out;
    return !in.fail() && !in.bad();
}

}  // namespace

GenericSensor::GenericSensor(const std::string& sensName, int sensID,
                             const std::vector<MetricsMetadata>& metas,
                             const std::vector<uint32_t>& sensorSize, const std::string& pCmd,
                             const std::string& pArgs, const std::string& sCmd)
    : AbstractSensor(static_cast<SensorID::SensorID>(sensID), metas.data(),
                     static_cast<uint32_t>(metas.size()),
                     countsOf(sensorSize, static_cast<const uint32_t&>(metas.size())), 1, 1000000),
      metricData(nullptr),
      genericStub(nullptr),
      allocatedSets(0),
      proxyCmd(pCmd),
      proxyArgs(pArgs),
      subCmd(sCmd),
      sensorName(sensName),
      metricKeyPos(0),
      dataPrevReadOK(true),
      sensorSupported(true) {
    std::memset(nodeName, 0, sizeof nodeName);
    uint64_t offset = 0;
    for (size_t i = 0; i < metas.size(); ++i) {
        const MetricsMetadata& m = metas[i];
        const std::string name(m.metricName, strnlen(m.metricName, sizeof m.metricName));
        posMap.emplace(name, static_cast<uint32_t>(offset));
        offset += m.metricLen;
        metrics.push_back({name, m.metricType, m.metricLen});
        if (m.metricID == METRIC_KEY_ID) metricKeyPos = i;
    }
    metricDataSet.numSets = 0;
    metricDataSet.setLength = static_cast<uint32_t>(offset);  // at most 65535 x 65535
    metricDataSet.data = nullptr;
}

GenericSensor::~GenericSensor() {
    // Normally shutdown has done this; a sensor deleted without it must not
    // keep its proxy's holder count up or leak its rows.
    if (genericStub != nullptr) GenericStub::closeInstance(proxyCmd, proxyArgs);
    releaseRows();
}

bool GenericSensor::validSubCmd(const std::string& sCmd) {
    return sCmd.find('\n') == std::string::npos;
}

int32_t GenericSensor::init() {
    getNodeID(nodeName, sizeof nodeName);
    if (!validSubCmd(subCmd)) {
        // It would reach the proxy as two requests and desynchronise the
        // replies of every sensor sharing the proxy.
        log->logError("Sub-command of sensor %s holds a line break, sensor not started",
                      sensorName.c_str());
        return -1;
    }
    if (genericStub == nullptr) genericStub = GenericStub::getInstance(proxyCmd, proxyArgs);
    return genericStub != nullptr ? 0 : -1;
}

const std::string& GenericSensor::getName() const { return sensorName; }

int32_t GenericSensor::getStatus() { return genericStub == nullptr ? -1 : 0; }

int32_t GenericSensor::shutdown() {
    if (genericStub != nullptr) {
        GenericStub::closeInstance(proxyCmd, proxyArgs);
        genericStub = nullptr;
    }
    // The rows stay: the controller may still be encoding the last sample.
    // They go with the sensor.
    return 0;
}

void GenericSensor::releaseRows() {
    std::free(metricData);
    metricData = nullptr;
    allocatedSets = 0;
    metricDataSet.data = nullptr;
    metricDataSet.numSets = 0;
}

bool GenericSensor::reserveRows(uint32_t n) {
    const uint64_t bytes = static_cast<uint64_t>(n) * metricDataSet.setLength;
    if (bytes > MAX_ROW_BUFFER_BYTES) {
        log->logError(
            "Sensor %s: %u records need %llu bytes of rows, more than %llu; sample skipped",
            sensorName.c_str(), n, static_cast<unsigned long long>(bytes),
            static_cast<unsigned long long>(MAX_ROW_BUFFER_BYTES));
        return false;
    }
    if (metricData == nullptr || n != allocatedSets) {
        releaseRows();
        metricData = std::malloc(bytes > 0 ? bytes : 1);
        if (metricData == nullptr) {
            log->logError("Sensor %s: no memory for %llu bytes of rows; sample skipped",
                          sensorName.c_str(), static_cast<unsigned long long>(bytes));
            return false;
        }
        allocatedSets = n;
    }
    std::memset(metricData, 0, bytes);
    metricDataSet.data = static_cast<const char*>(metricData);
    return true;
}

void GenericSensor::dataError(bool& clean, const char* fmt, ...) {
    if (dataPrevReadOK && clean) {
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        log->logWarning("%s", buf);
    }
    clean = false;
}

const dataSet_t* GenericSensor::getMetricData() {
    if (genericStub == nullptr || !sensorSupported) {
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    const std::string reply = genericStub->executeQuery(subCmd);
    // A sample the daemon's stop refused or cut short reports nothing, and
    // nothing failed: it ends without a word.
    if (reply.empty() && genericStub->isStopping()) {
        metricDataSet.numSets = 0;
        return &metricDataSet;
    }
    log->logDebug("Sensor: %s subCmd: %s output:\n%s", sensorName.c_str(), subCmd.c_str(),
                  reply.c_str());

    if (reply.find(GenericParser::RERROR) != std::string::npos &&
        reply.find(NOTSUPPORTED) != std::string::npos) {
        log->logWarning("Sensor %s is not supported on this node and will be turned off",
                        sensorName.c_str());
        sensorSupported = false;
        sourceOK = false;
    }

    std::vector<GenericParser::Record> records;
    gp.parseResponse(subCmd, reply, records, *log, sourcePrevOK);

    if (records.empty()) {
        sourceOK = false;
        if (sourcePrevOK) {
            log->logError(
                "No results received from %s or response could not be parsed, no metrics to "
                "report.",
                sensorName.c_str());
        }
        metricDataSet.numSets = 0;
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    sourceOK = true;
    if (!sourcePrevOK) log->logInfo("Resumed reporting.");

    if (records.size() > UINT32_MAX || !reserveRows(static_cast<uint32_t>(records.size()))) {
        metricDataSet.numSets = 0;
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    usedHashes.clear();
    uint32_t r = 0;
    bool clean = true;
    for (GenericParser::Record& rec : records) {
        GenericParser::ElemMap& keys = rec[GenericParser::KEY];
        GenericParser::ElemMap& vals = rec[GenericParser::VAL];
        if (keys.empty()) {
            dataError(clean, "Missing key elements in input, skipping");
            continue;
        }
        if (vals.empty()) {
            dataError(clean, "Missing metric values in input, skipping");
            continue;
        }
        bool keysOK = true;
        for (size_t i = 0; i < metricKeyPos; ++i) {
            if (keys.count(metrics[i].name) == 0) {
                bool gateOpen = dataPrevReadOK && clean;
                dataError(clean,
                          "Required key element %s not found in the input set of key elements, "
                          "skipping",
                          metrics[i].name.c_str());
                if (gateOpen) log->logWarning("Input key elements do not match metadata, skipping");
                keysOK = false;
                break;
            }
        }
        if (!keysOK) continue;

        fillRow(static_cast<char*>(metricData) + static_cast<size_t>(r) * metricDataSet.setLength,
                rec, clean);
        ++r;
    }

    metricDataSet.numSets = r;
    usedHashes.reportCollisions(*log, sensorName);
    if (clean != dataPrevReadOK) {
        if (clean) {
            log->logInfo(
                "Sensor %s: read response data without errors, enabling data read error logging",
                sensorName.c_str());
        } else {
            log->logInfo(
                "Sensor %s: errors with response data, pausing error logs to avoid repeated "
                "entries",
                sensorName.c_str());
        }
        dataPrevReadOK = clean;
    }
    sourcePrevOK = sourceOK;
    return &metricDataSet;
}

void GenericSensor::fillRow(char* row, GenericParser::Record& rec,
                            bool& clean) {
    GenericParser::ElemMap& keys = rec[GenericParser::KEY];
    GenericParser::ElemMap& vals = rec[GenericParser::VAL];
    uint32_t hash = 0;
    char* field = row;
    for (size_t j = 0; j < metrics.size(); field += metrics[j].len, ++j) {
        const metricInfo& mi = metrics[j];
        if (j < metricKeyPos) {
            std::string& value = keys[mi.name];
            if (j == 0 && (value.empty() || value == NOKEY)) {
                log->logDebug(
                    "Proxy provided no valid node name: %s, using cvxsensors internal node name: "
                    "%s",
                    value.c_str(), nodeName);
                value = nodeName;
            } else if (j == 1 && (value.empty() || value == NOKEY)) {
                log->logDebug(
                    "Proxy provided no valid sensor name: %s, using cvxsensors internal sensor "
                    "name: %s",
                    value.c_str(), sensorName.c_str());
                value = sensorName;
            }
            safeStrncpy(field, value.c_str(), mi.len);
            const unsigned len = static_cast<unsigned>(value.size());
            if (j == 2) {
                hash = FNV1AHash32(value.data(), len);
            } else if (j > 2) {
                hash = FNV1AHashAppend32(hash, value.data(), len);
            }
        } else if (j == metricKeyPos) {
            if (hash != 0) {
                // The key text names the key elements, not their values.
                hash = usedHashes.claim(hash, [&] {
                    std::string names;
                    for (size_t k = 2; k < metricKeyPos; ++k) {
                        if (!names.empty()) names += ' ';
                        names += metrics[k].name;
                    }
                    return names;
                });
            }
            MetricKey key;
            std::memset(&key, 0, sizeof key);
            if (metricKeyPos > 0) {
                const std::string& node = keys[metrics[0].name];
                key.nodeID = FNV1AHash32(node.data(), static_cast<unsigned>(node.size()));
            } else {
                // Without key elements the row belongs to this node.
                key.nodeID = FNV1AHash32(nodeName,
                                         static_cast<unsigned>(strnlen(nodeName, sizeof nodeName)));
            }
            key.metricClusterID = hash;
            key.sensorID = static_cast<uint16_t>(getSensorID());
            key.metricID = 0;
            std::memcpy(field, &key, mi.len < sizeof key ? mi.len : sizeof key);
        } else {
            auto it = vals.find(mi.name);
            if (it == vals.end()) {
                dataError(clean, "Missing value for metric %s", mi.name.c_str());
                continue;
            }
            if (!convertValue(mi, it->second, field)) {
                const char* what = mi.type == DT_UINT_32   ? "uint32_t"
                                   : mi.type == DT_UINT_64 ? "uint64_t"
                                                           : "double";
                dataError(clean, "Failed to convert %s value (%s) for metric %s, skipping", what,
                          it->second.c_str(), mi.name.c_str());
            }
        }
    }
}

bool GenericSensor::convertValue(const metricInfo& mi, const std::string& text, char* field) {
    // Doubles are checked against the range of the integer they become:
    // converting one outside it would be undefined.
    constexpr double TWO63 = 9223372036854775808.0;
    switch (mi.type) {
        case DT_UINT_32: {
            uint32_t v;
            if (!extract(text, v)) return false;
            putBigEndian(field, mi.len, v);
            return true;
        }
        case DT_UINT_64: {
            uint64_t v;
            if (!extract(text, v)) return false;
            putBigEndian(field, mi.len, v);
            return true;
        }
        case DT_FPCENTI_32: {
            double d;
            if (!extract(text, d)) return false;
            const double x = d * 100.0 + 0.5;
            if (!std::isfinite(x) || x >= TWO63 || x <= -TWO63) return false;
            putBigEndian(field, mi.len, static_cast<uint64_t>(static_cast<int64_t>(x)));
            return true;
        }
        case DT_FPMICRO_64: {
            double d;
            if (!extract(text, d)) return false;
            const double x = d * 1000000.0 + 0.5;
            if (!std::isfinite(x) || x >= 2.0 * TWO63 || x <= -TWO63) return false;
            // Negative results keep their two's-complement form, as collectors
            // have always received them.
            const uint64_t v = x >= TWO63 ? static_cast<uint64_t>(x)
                                          : static_cast<uint64_t>(static_cast<int64_t>(x));
            putBigEndian(field, mi.len, v);
            return true;
        }
        default:
            return true;
    }
}
