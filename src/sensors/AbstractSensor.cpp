#include "AbstractSensor.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Configuration.h"
#include "FNV1AHash.h"
#include "LoggerStub.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"

std::atomic<bool> AbstractSensor::monRemoteFs(true);

AbstractSensor::AbstractSensor(SensorID::SensorID id, const MetricsMetadata* metricTable,
                               uint32_t numMetrics, const uint32_t* perVirtSensorCounts,
                               uint32_t numVirt, uint64_t period)
    : periodInMicroSecs(period),
      sensorID(id),
      numVirtSensors(numVirt),
      timerID(0),
      metaDataDef{{META_FIELD_METRIC_NAME, METRIC_NAME_LEN, VELMAR_ENTERPRISE_ID},
                  {META_FIELD_METRIC_ID, 2, VELMAR_ENTERPRISE_ID},
                  {META_FIELD_METRIC_TYPE, 2, VELMAR_ENTERPRISE_ID},
                  {META_FIELD_METRIC_LEN, 2, VELMAR_ENTERPRISE_ID},
                  {META_FIELD_METRIC_SEMANTIC, 2, VELMAR_ENTERPRISE_ID}},
      log(new LoggerStub(SensorID::sensorName(id))),
      firstRun(true),
      sourceOK(true),
      sourcePrevOK(true) {
    if (metricTable == nullptr) numMetrics = 0;
    metaData.assign(metricTable, metricTable + numMetrics);

    // The counts should add up to the table's rows. Clamp each to the rows
    // still unassigned, so that neither the metadata sets nor the templates
    // built from getNumFields can reach past the table.
    perVirtSensorMetaDefSize.reserve(numVirtSensors);
    uint32_t assigned = 0;
    uint64_t claimed = 0;
    for (uint32_t v = 0; v < numVirtSensors; ++v) {
        const uint32_t want = perVirtSensorCounts != nullptr ? perVirtSensorCounts[v] : 0;
        claimed += want;
        const uint32_t count = std::min(want, numMetrics - assigned);
        perVirtSensorMetaDefSize.push_back(count);
        assigned += count;
    }
    if (claimed > numMetrics) {
        log->logError("Metric table has %u rows but its virtual sensors claim %llu", numMetrics,
                      static_cast<unsigned long long>(claimed));
    }

    metricsDef.reserve(numMetrics);
    for (const MetricsMetadata& row : metaData) {
        metricsDef.push_back({row.metricID, row.metricLen, VELMAR_ENTERPRISE_ID});
    }
    for (MetricsMetadata& row : metaData) {
        row.metricID = htons(row.metricID);
        row.metricType = htons(row.metricType);
        row.metricLen = htons(row.metricLen);
        row.metricSemantic = htons(row.metricSemantic);
    }

    uint32_t first = 0;
    metaDataSet.reserve(numVirtSensors);
    for (uint32_t count : perVirtSensorMetaDefSize) {
        metaDataSet.push_back({count, static_cast<uint32_t>(sizeof(MetricsMetadata)),
                               reinterpret_cast<const char*>(metaData.data() + first)});
        first += count;
    }
}

AbstractSensor::~AbstractSensor() { delete log; }

const std::string& AbstractSensor::getName() const { return SensorID::sensorName(sensorID); }

const std::vector<FieldSpecifier>* AbstractSensor::getMetricDataDef() const { return &metricsDef; }

uint32_t AbstractSensor::getNumFields(uint32_t index) const {
    return index < perVirtSensorMetaDefSize.size() ? perVirtSensorMetaDefSize[index] : 0;
}

void AbstractSensor::setFilter(const std::string& value) {
    filter = value;
    log->logDebug("Set filter to %s", value.c_str());
}

char* AbstractSensor::safeStrncpy(char* dst, const char* src, size_t len) {
    std::strncpy(dst, src, len);
    if (len != 0) dst[len - 1] = '\0';
    return dst;
}

uint32_t AbstractSensor::getNodeID(char* nodeName, uint32_t len) {
    std::memset(nodeName, 0, len);
    std::string configured;
    if (SensorCtrl::config != nullptr) {
        SensorCtrl::config->getParamStore().getString(Cfg::HOSTNAME, configured);
    }
    if (!configured.empty()) {
        std::strncpy(nodeName, configured.c_str(), len);
        if (len != 0) nodeName[len - 1] = '\0';
    } else if (gethostname(nodeName, len) != 0) {
        if (errno == ENAMETOOLONG) {
            if (len != 0) nodeName[len - 1] = '\0';
        } else {
            safeStrncpy(nodeName, "..unknown-hostname..", len);
        }
    } else if (len != 0) {
        // gethostname leaves a cut name unterminated on some C libraries.
        nodeName[len - 1] = '\0';
    }
    return FNV1AHash32(nodeName, len);
}

bool AbstractSensor::getLocalClusterName(std::string& clusterName) {
    if (!clusterName.empty()) return true;

    const std::string path = Platform::path(NODE_CONFIG_FILE);
    std::ifstream in(path);
    if (!in.is_open()) {
        sourceOK = false;
        if (firstRun || sourcePrevOK) log->logError("Can not read config file %s", path.c_str());
        return false;
    }

    std::string value;
    std::string line;
    while (std::getline(in, line)) {
        log->logDebug("cfgLine: %s", line.c_str());
        std::istringstream words(line);
        std::string first, second;
        if ((words >> first >> second) && first == "clusterName") {
            value = second;
            break;
        }
    }
    in.close();

    if (!value.empty()) {
        clusterName = value;
        log->logInfo("Using cluster name %s", clusterName.c_str());
        return true;
    }
    sourceOK = false;
    if (firstRun || sourcePrevOK) {
        log->logError("Can not find %s in config file %s.", "clusterName", path.c_str());
    }
    return false;
}
