#include "cfgUtil.h"

#include "Logger.h"
#include "SensorDefaultConfig.h"
#include "split.h"

Cfg::Configuration* loadConfig(const std::string& path, const Logger* logger) {
    Cfg::SensorDefaultConfig defaults;
    Cfg::SensorDefaultConfig::init_static();
    Cfg::Configuration* config = new Cfg::Configuration(
        Cfg::SensorDefaultConfig::velmarSensorsDefStore, defaults.velmarSensorStore);
    if (!config->loadConfigFile(path, logger)) {
        delete config;
        return nullptr;
    }
    return config;
}

std::vector<std::string> collectorCandidatePieces(const std::string& candidate) {
    std::vector<std::string> pieces;
    split(candidate, ":", pieces);
    return pieces;
}

bool checkCollectorCandidate(const std::string& candidate, const Logger* logger) {
    const std::vector<std::string> pieces = collectorCandidatePieces(candidate);
    const char* problem = nullptr;
    if (pieces.empty()) {
        problem = "has no host";
    } else if (pieces.size() > 1 && Cfg::isBadCollectorPort(pieces[1])) {
        problem = "has a port outside 1-65535";
    }
    if (problem != nullptr && logger != nullptr)
        logger->logError("Collector candidate '%s' %s!", candidate.c_str(), problem);
    return problem == nullptr;
}
