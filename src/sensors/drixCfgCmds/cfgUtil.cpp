#include "cfgUtil.h"

#include "SensorDefaultConfig.h"

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
