// The sensor list: once at start-up, between constructing the controller and
// starting its thread, the `sensors` list (or the `blaster` group) of the
// daemon configuration becomes sensor objects handed to the controller. An
// entry restricted to one node of the cluster goes through the singleton
// election (SingletonElection.h); an entry of type "Generic" is built from
// its meta-file (GenericMetaFile.h).
//
// Everything runs on the main thread before any controller or sensor thread
// exists; nothing outlives the call but the sensors added to the controller.
// A fault in one entry or meta-file disables only that sensor.
#include <string>
#include <vector>

#include "Configuration.h"
#include "DirectSensors.h"
#include "GenericMetaFile.h"
#include "ParamNames.h"
#include "SensorCtrl.h"
#include "SensorFactory.h"
#include "SingletonElection.h"

DirectSensorMakers directSensorMakers;

namespace {

std::string toLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

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
        for (size_t i = 0; i < links.sockets.size(); ++i)
            if (links.sockets[i]->isConnecting()) pending.push_back(i);
        links.awaitConnects(pending, static_cast<int64_t>(socketTimeout) * 1000,
                            &SensorCtrl::stopPending);
        for (size_t i : pending) {
            Socket* socket = links.sockets[i];
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
