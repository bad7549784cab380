// cvxsensors: reads its configuration, opens its log, daemonizes, locks its
// PID file and runs the sensor main until a stop signal. Exit status 78 when
// the configuration is unusable, 0 otherwise.
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "Configuration.h"
#include "DaemonUtils.h"
#include "LoggerBackend.h"
#include "LoggerStub.h"
#include "ParamNames.h"
#include "SensorMain.h"

namespace {

constexpr int EXIT_CONFIG = 78;  // EX_CONFIG

void endConfig() {
    delete SensorMain::config;
    SensorMain::config = nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!SensorMain::initConfig(argc, argv)) {
        endConfig();
        return EXIT_CONFIG;
    }

    // The kernel's name of the process names the PID file.
    char processName[17] = {};
    prctl(PR_GET_NAME, processName, 0, 0, 0);

    struct sigaction reload = {};
    reload.sa_handler = sigHdlrReload;
    sigemptyset(&reload.sa_mask);
    sigaction(SIGHUP, &reload, nullptr);
    signal(SIGCHLD, SIG_IGN);

    const Cfg::ParamValStore& params = SensorMain::config->getParamStore();
    std::string pidDir;
    params.getString(Cfg::PIDDIR, pidDir);
    char pidFile[200];
    std::snprintf(pidFile, sizeof pidFile, "%s/%s.pid", pidDir.c_str(), processName);

    std::string logFile;
    std::string logLevel;
    bool daemonizeFlag = false;
    params.getString(Cfg::LOGFILE, logFile);
    params.getString(Cfg::LOGLEVEL, logLevel);
    params.getFlag(Cfg::DAEMONIZE, daemonizeFlag);

    if (daemonizeFlag && logFile.empty()) logFile = "VelmarSensors.log";
    FILE* startLog = stderr;
    if (logFile == "stdout") {
        startLog = stdout;
    } else if (!logFile.empty() && logFile != "stderr") {
        startLog = std::fopen(logFile.c_str(), "ae");
        if (startLog == nullptr) {
            const int err = errno;
            std::fprintf(stderr, "Couldn't open log file %s: %s(%d)\n", logFile.c_str(),
                         std::strerror(err), err);
            endConfig();
            return 0;
        }
    }
    initialLog(startLog, "Starting %s - revision %s-%s", argv[0], VELMAR_VERSION, VELMAR_RELEASE);

    const bool detached = !daemonizeFlag || daemonize(startLog);
    if (startLog != stdout && startLog != stderr) std::fclose(startLog);
    if (!detached) {
        endConfig();
        return 0;
    }

    // Before the first thread starts, so that every thread inherits the block.
    SensorMain::blockControlSignals();
    if (!LoggerBackend::createAndInitLogger(SensorMain::mapLogLevel(logLevel), logFile.c_str(),
                                            true)) {
        initialLog(stderr, "Could not initialize the logger backend!");
        endConfig();
        return 0;
    }

    LoggerStub* mainLogger = new LoggerStub("Main");
    const bool pidFileCreated = createPidFile(argv[0], pidFile, mainLogger);
    if (pidFileCreated) SensorMain::start(mainLogger);

    SensorMain::myLogger = nullptr;
    delete mainLogger;
    LoggerBackend::destroy();
    endConfig();
    if (pidFileCreated) unlink(pidFile);
    return 0;
}
