// Start and end of the daemon cvxsensors: reads and checks the configuration,
// runs the sensor controller until a stop signal arrives, reloads the
// configuration on SIGHUP, and takes everything down in order. Static members
// only; one instance of the program exists per process.
//
// Threads: everything here runs on the main thread. The signal handlers only
// write their flag. The three signals the daemon acts on (SIGHUP, SIGTERM,
// SIGINT) are blocked by blockControlSignals before the first thread starts,
// so every later thread inherits the block and only the main thread, in
// start's wait, ever receives them; that wait unblocks them atomically, so no
// signal arriving between the check of the flags and the wait is lost.
//
// The configuration in effect is shared read-only with the controller and the
// sensor threads (node name, sensor entries) while they run, so a reload never
// writes into it: the values a reload compares against (`loglevel`,
// `monremotefs`) are kept on the main thread instead.
#pragma once

#include <atomic>
#include <csignal>
#include <string>

#include "Logger.h"
#include "SensorDefaultConfig.h"  // VELMAR_VERSION, VELMAR_RELEASE

class LoggerStub;
namespace Cfg {
class Configuration;
}

class SensorMain {
  public:
    SensorMain() = delete;

    // Builds `config` from the defaults, the file (option -C, else the
    // default `config` path) and the command-line options; true when the file
    // was read, the options parsed, a collector has a host and no collector
    // port is a number out of range. Also sets AbstractSensor::monRemoteFs.
    static bool initConfig(int argc, char* const* argv);
    // Blocks SIGHUP, SIGTERM and SIGINT in the calling thread; call on the
    // main thread before any other thread exists.
    static void blockControlSignals();
    // Runs the controller until a stop signal: 1 after a normal stop, 0 when
    // the controller could not start.
    static int start(LoggerStub* logger);
    // Re-reads the configuration file and applies `loglevel`, the sensor
    // periods and `monremotefs`. Main thread only.
    static bool updateConfig();
    static void handleStopSignals(int signo);
    // True once a stop signal was handled or is waiting to be delivered (the
    // start-up's waits give way to it).
    static bool stopPending();

    // "error", "warning" and "info" (exact, case-sensitive); Debug otherwise.
    static LogNameSpace::ErrorSeverity mapLogLevel(const std::string& level);

    // 1 running, 0 stop requested (signal handler). Atomic, not only
    // sig_atomic_t: sensor threads read it through stopPending. Lock-free,
    // so the handler may store it.
    static std::atomic<int> state;
    // Set by the SIGHUP handler, cleared by the wait loop before it reloads.
    static volatile sig_atomic_t reloadPending;
    // Created by initConfig, deleted by main.
    static Cfg::Configuration* config;
    // "Main", set by start.
    static LoggerStub* myLogger;
    static const char* const name;

  private:
    // Main-thread copies of what the last reload applied (see the file
    // comment); initConfig sets them from the start-up configuration.
    static std::string appliedLogLevel;
    static bool appliedMonRemoteFsSet;
    static bool appliedMonRemoteFs;
};

// SIGHUP handler: sets SensorMain::reloadPending.
void sigHdlrReload(int signo);
