#include "SensorMain.h"

#include <pthread.h>
#include <sys/stat.h>

#include "AbstractSensor.h"
#include "Configuration.h"
#include "LoggerBackend.h"
#include "LoggerStub.h"
#include "ParamNames.h"
#include "SensorCtrl.h"
#include "SensorDefaultConfig.h"
#include "StdOutLogger.h"

using LogNameSpace::ErrorSeverity;

std::atomic<int> SensorMain::state{1};
static_assert(std::atomic<int>::is_always_lock_free, "the stop handler stores it");
volatile sig_atomic_t SensorMain::reloadPending = 0;
Cfg::Configuration* SensorMain::config = nullptr;
LoggerStub* SensorMain::myLogger = nullptr;
const char* const SensorMain::name = "SensorMain";
std::string SensorMain::appliedLogLevel;
bool SensorMain::appliedMonRemoteFsSet = false;
bool SensorMain::appliedMonRemoteFs = true;

namespace {

void controlSignals(sigset_t& set) {
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
}

}  // namespace

void sigHdlrReload(int) { SensorMain::reloadPending = 1; }

void SensorMain::handleStopSignals(int) { state = 0; }

bool SensorMain::stopPending() {
    if (state == 0) return true;
    // The stop signals are blocked until start's wait: one that came during
    // the start-up is still pending.
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}

ErrorSeverity SensorMain::mapLogLevel(const std::string& level) {
    if (level == "error") return LogNameSpace::esError;
    if (level == "warning") return LogNameSpace::esWarning;
    if (level == "info") return LogNameSpace::esInfo;
    return LogNameSpace::esDebug;
}

bool SensorMain::initConfig(int argc, char* const* argv) {
    Cfg::SensorDefaultConfig defaults;
    Cfg::SensorDefaultConfig::init_static();
    delete config;
    config = new Cfg::Configuration(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                                    defaults.velmarSensorStore);

    std::string defaultPath;
    config->getParamStore().getString(Cfg::CONFIG, defaultPath);
    const std::string path = Cfg::Configuration::getKnownParam(argc, argv, "-C", defaultPath);

    StdOutLogger console;
    bool ok = config->loadConfigFile(path, &console);
    if (ok) {
        console.logInfo("Successfully read configuration from file %s", path.c_str());
        ok = config->parseArgs(argc, argv, &console);
    }

    Cfg::ParamVec* collectors = nullptr;
    const Cfg::ParamDefStore* collectorSchema = nullptr;
    config->getParamStoreVecForUpdate(Cfg::COLLECTORS, collectors, collectorSchema);
    bool hostFound = false;
    if (collectorSchema == nullptr) {
        console.logError("Could not find parameter definition for %s", Cfg::COLLECTORS);
    } else {
        if (collectors != nullptr) {
            for (const Cfg::ParamValStore* entry : *collectors) {
                std::string host;
                if (entry != nullptr && entry->getString(Cfg::COLHOST, host) && !host.empty()) {
                    hostFound = true;
                    break;
                }
            }
        }
        if (!hostFound) console.logError("No collector host defined in %s!", path.c_str());
    }
    const bool portsValid = Cfg::checkCollectorPorts(config->getParamStore(), path, console);

    bool monRemoteFs = true;
    appliedMonRemoteFsSet = config->getParamStore().getFlag(Cfg::MONREMOTEFS, monRemoteFs);
    appliedMonRemoteFs = monRemoteFs;
    AbstractSensor::monRemoteFs.store(monRemoteFs);
    appliedLogLevel.clear();
    config->getParamStore().getString(Cfg::LOGLEVEL, appliedLogLevel);

    return ok && hostFound && portsValid;
}

void SensorMain::blockControlSignals() {
    sigset_t set;
    controlSignals(set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int SensorMain::start(LoggerStub* logger) {
    myLogger = logger;
    logger->logInfo("Starting sensor main");

    struct sigaction action = {};
    action.sa_handler = handleStopSignals;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The controller and sensor threads inherit the block (see the header).
    blockControlSignals();
    SensorCtrl::stopRequested = stopPending;
    if (SensorCtrl::startSensorCtrl(logger, config) < 0) return 0;

    sigset_t waitMask;
    pthread_sigmask(SIG_SETMASK, nullptr, &waitMask);
    sigdelset(&waitMask, SIGHUP);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    while (state == 1) {
        if (reloadPending) {
            reloadPending = 0;
            updateConfig();
            continue;
        }
        // Returns after a handler ran; a signal that came since the check
        // above is still pending and ends the wait at once.
        sigsuspend(&waitMask);
    }

    logger->logInfo("Stopping sensor main");
    SensorCtrl::terminateSensorCtrl(logger);
    logger->logInfo("Sensor main stopped");
    return 1;
}

bool SensorMain::updateConfig() {
    if (myLogger == nullptr) return false;
    LoggerStub& log = *myLogger;
    if (config == nullptr) {
        log.logInfo("updateConfig: no sensor configuration object found.");
        return false;
    }
    std::string path;
    config->getParamStore().getString(Cfg::CONFIG, path);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        log.logInfo("updateConfig: config file does not exist.");
        return false;
    }

    log.logInfo(
        "updateConfig: Attempt to copy existing configuration data to cfgfile buffer "
        "object.");
    Cfg::Configuration copy(config->defs, config->getParamStore());
    // What earlier reloads applied stands for the configuration in effect,
    // which is never written while other threads read it.
    copy.getParamStore().putStr(Cfg::LOGLEVEL, appliedLogLevel);
    if (appliedMonRemoteFsSet) copy.getParamStore().putFlag(Cfg::MONREMOTEFS, appliedMonRemoteFs);
    log.logInfo("updateConfig: Attempt to update internal cfgfile buffer object.");
    if (!copy.loadConfigFile(path, &log)) return false;

    std::string level;
    copy.getParamStore().getString(Cfg::LOGLEVEL, level);
    log.logInfo("updateConfig: fetched log level '%s'.", level.c_str());
    if (level != appliedLogLevel) {
        log.logInfo("updateConfig: Change the log level to '%s'.", level.c_str());
        LoggerBackend::setSeverityThreshold(mapLogLevel(level));
        appliedLogLevel = level;
    }

    SensorCtrl* ctrl = SensorCtrl::getSensorCtrl();
    if (ctrl == nullptr || SensorCtrl::config == nullptr) return true;

    log.logDebug(
        "updateConfig: Attempt to copy existing sensor configuration data to cfgfile "
        "buffer object.");
    Cfg::Configuration sensorCopy(SensorCtrl::config->defs, SensorCtrl::config->getParamStore());
    log.logInfo("updateConfig: Attempt to update sensor cfgfile buffer object.");
    if (!sensorCopy.loadConfigFile(path, &log)) {
        log.logInfo("updateConfig: Could not read config file %s.", path.c_str());
        return false;
    }
    log.logInfo("updateConfig: Attempt to update sensor period values, if any.");
    ctrl->updateSensorPeriod(sensorCopy);

    bool monRemoteFs = true;
    const bool copyHasFlag = copy.getParamStore().getFlag(Cfg::MONREMOTEFS, monRemoteFs);
    if (!copyHasFlag || !appliedMonRemoteFsSet || monRemoteFs != appliedMonRemoteFs) {
        log.logInfo("updateConfig: the remote filesystem monitoring to is now set to '%s'.",
                    monRemoteFs ? "true" : "false");
        ctrl->updateSensorRemoteFSmonitor(monRemoteFs);
    }
    if (copyHasFlag) {
        appliedMonRemoteFsSet = true;
        appliedMonRemoteFs = monRemoteFs;
    }
    return true;
}
