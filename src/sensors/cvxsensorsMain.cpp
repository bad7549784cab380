// cvxsensors: reads its configuration, opens its log, daemonizes, locks its
// PID file and runs the sensor main until a stop signal. Exit status 0 after
// a stop signal; a start-up failure exits with its own sysexits value, so
// that a service manager or a script sees the daemon did not start: 78 for an
// unusable configuration, 73 for a log or PID file that cannot be created (a
// PID directory too long for the PID file's path included), 75 while another
// instance holds the PID file, 71 when daemonizing, the logging backend, the
// sensor controller or every configured sensor's thread could not start.
// After the daemonizing fork the parent has already exited 0; later failures
// are the child's own exit status.
#include <malloc.h>
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
#include "Thread.h"

namespace {

constexpr int EXIT_OSERR = 71;      // EX_OSERR
constexpr int EXIT_CANTCREAT = 73;  // EX_CANTCREAT
constexpr int EXIT_TEMPFAIL = 75;   // EX_TEMPFAIL
constexpr int EXIT_CONFIG = 78;     // EX_CONFIG

// The main arena and one shared by the logger, controller and sensor threads.
constexpr int ARENAS = 2;
// The deepest path of a daemon thread (a sensor's sample with its exclude
// filter's regular expression, a reply parse, the logger's formatting) uses a
// few tens of KiB; the thread library's default is the process's stack limit,
// commonly 8 MiB. 1 MiB keeps a wide margin, for a sanitizer build's larger
// frames and for a recursive regular-expression match on a long name.
constexpr size_t THREAD_STACK = 1024 * 1024;

void endConfig() {
    delete SensorMain::config;
    SensorMain::config = nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
    // A handful of threads that each wake briefly once a period gain nothing
    // from an arena each (up to eight per core by default), and every arena
    // keeps its own freed memory resident.
    mallopt(M_ARENA_MAX, ARENAS);
    Thread::setStackSize(THREAD_STACK);

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
    const int pidFileLen =
        std::snprintf(pidFile, sizeof pidFile, "%s/%s.pid", pidDir.c_str(), processName);
    // A path cut to fit would name another file, one a second instance
    // would not find locked.
    if (pidFileLen < 0 || static_cast<size_t>(pidFileLen) >= sizeof pidFile) {
        std::fprintf(stderr,
                     "PID directory %s is too long: the PID file path must stay below %zu "
                     "characters\n",
                     pidDir.c_str(), sizeof pidFile);
        endConfig();
        return EXIT_CANTCREAT;
    }

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
            return EXIT_CANTCREAT;
        }
    }
    initialLog(startLog, "Starting %s - revision %s-%s", argv[0], VELMAR_VERSION, VELMAR_RELEASE);

    const bool detached = !daemonizeFlag || daemonize(startLog);
    if (startLog != stdout && startLog != stderr) std::fclose(startLog);
    if (!detached) {
        endConfig();
        return EXIT_OSERR;
    }

    // Before the first thread starts, so that every thread inherits the block.
    SensorMain::blockControlSignals();
    if (!LoggerBackend::createAndInitLogger(SensorMain::mapLogLevel(logLevel), logFile.c_str(),
                                            true)) {
        initialLog(stderr, "Could not initialize the logger backend!");
        endConfig();
        return EXIT_OSERR;
    }

    LoggerStub* mainLogger = new LoggerStub("Main");
    bool lockedByOther = false;
    const bool pidFileCreated = createPidFile(argv[0], pidFile, mainLogger, &lockedByOther);
    int status = lockedByOther ? EXIT_TEMPFAIL : EXIT_CANTCREAT;
    if (pidFileCreated) status = SensorMain::start(mainLogger) == 1 ? 0 : EXIT_OSERR;

    SensorMain::myLogger = nullptr;
    delete mainLogger;
    LoggerBackend::destroy();
    endConfig();
    if (pidFileCreated) unlink(pidFile);
    return status;
}
