#include "cfgUtil.h"

#include "Logger.h"
#include "SensorDefaultConfig.h"
#include "split.h"

const char CANDIDATE_DEFAULT_PORT[] = "4739";

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

Cfg::CollectorAddress collectorCandidateAddress(const std::string& candidate) {
    const std::vector<std::string> pieces = collectorCandidatePieces(candidate);
    std::string port = pieces.size() > 1 ? pieces[1] : "";
    if (port.find_first_not_of(" \t\r\n") == std::string::npos) port = CANDIDATE_DEFAULT_PORT;
    return Cfg::checkCollectorAddress(pieces.empty() ? "" : pieces[0], port);
}

bool checkCollectorCandidate(const std::string& candidate, const Logger* logger) {
    const Cfg::CollectorAddress a = collectorCandidateAddress(candidate);
    const char* problem = nullptr;
    if (a.host.empty()) {
        problem = "has no host";
    } else if (!a.hostOk) {
        problem = "has a host that is not a host name or address";
    } else if (!a.portOk) {
        problem = "has a port that is neither a number from 1 to 65535 nor a service name";
    }
    if (problem != nullptr && logger != nullptr)
        logger->logError("Collector candidate '%s' %s!", candidate.c_str(), problem);
    return problem == nullptr;
}
