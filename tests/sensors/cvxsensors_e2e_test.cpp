// The built daemon end to end: configuration errors, start line and log
// format, the PID file, a second instance, reload on SIGHUP, and the ordered
// stop on SIGTERM, exporting the test sensors to the test collector.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "SilentListener.h"
#include "stubs/StubHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Collector;
using e2e::lines;
using e2e::readFile;

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// "Mmm-dd hh:mm:ss  [Severity] Component: text", the severity padded to 7.
bool wellFormed(const std::string& line) {
    const char* shape = "Aaa-99 99:99:99  [";
    size_t i = 0;
    for (; shape[i] != '\0'; ++i) {
        if (i >= line.size()) return false;
        const char c = line[i];
        const bool ok = shape[i] == 'A'   ? (c >= 'A' && c <= 'Z')
                        : shape[i] == 'a' ? (c >= 'a' && c <= 'z')
                        : shape[i] == '9' ? (c >= '0' && c <= '9')
                                          : c == shape[i];
        if (!ok) return false;
    }
    bool severity = false;
    for (const char* name : {"Debug  ", "Info   ", "Warning", "Error  ", "*Fatal*"})
        severity = severity || line.compare(i, 9, std::string(name) + "] ") == 0;
    if (!severity) return false;
    const size_t colon = line.find(": ", i + 9);
    if (colon == std::string::npos || colon == i + 9) return false;
    for (size_t j = i + 9; j < colon; ++j)
        if (!std::isalnum(static_cast<unsigned char>(line[j])) && line[j] != '_') return false;
    return true;
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// True once a process that is not our child has ended (gone, or a zombie
// waiting for whoever adopted it).
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

// Export times (seconds) of the records of each sensor, from the collector's
// "message ... time=T" and "record ... sensor=\"NAME\"" lines.
std::map<std::string, std::vector<long>> recordTimes(const std::string& output) {
    std::map<std::string, std::vector<long>> times;
    long current = 0;
    for (const std::string& line : lines(output)) {
        if (line.compare(0, 8, "message ") == 0) {
            const size_t t = line.find(" time=");
            if (t != std::string::npos) current = std::atol(line.c_str() + t + 6);
        } else if (line.compare(0, 7, "record ") == 0) {
            const size_t s = line.find(" sensor=\"");
            if (s == std::string::npos) continue;
            const size_t end = line.find('"', s + 9);
            times[line.substr(s + 9, end - s - 9)].push_back(current);
        }
    }
    return times;
}

// True once the collector has a record of each named sensor exported at or
// after `from` (seconds).
bool recordsSince(const Collector& collector, std::vector<std::string> sensors, long from = 0) {
    auto times = recordTimes(collector.soFar());
    for (const std::string& s : sensors) {
        bool found = false;
        for (long t : times[s]) found = found || t >= from;
        if (!found) return false;
    }
    return true;
}

// The send queue (bytes) of this host's TCP connections to a loopback port in
// the given state ("01" established, "02" SYN sent), from /proc/net/tcp; -1
// when there is none.
long sendQueueTo(const std::string& port, const char* state) {
    char remote[16];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", std::atoi(port.c_str()));
    long most = -1;
    for (const std::string& line : lines(readFile("/proc/net/tcp"))) {
        std::istringstream fields(line);
        std::string slot, local, rem, st, queues;
        if (!(fields >> slot >> local >> rem >> st >> queues)) continue;
        if (rem != remote || st != state) continue;
        const long tx = std::strtol(queues.substr(0, queues.find(':')).c_str(), nullptr, 16);
        if (tx > most) most = tx;
    }
    return most;
}

size_t countBetween(const std::vector<long>& times, long from, long to) {
    size_t n = 0;
    for (long t : times)
        if (t >= from && t <= to) ++n;
    return n;
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        cfgPath = dir.path() + "/daemon.cfg";
        logPath = dir.path() + "/daemon.log";
        pidPath = dir.path() + "/cvxsensors.pid";
    }
    void TearDown() override {
        if (daemon.pid() > 0) {
            daemon.signal(SIGKILL);
            daemon.wait();
        }
    }

    std::string config(const std::string& port, const std::string& body,
                       const std::string& level = "info") {
        return "logfile = \"" + logPath + "\"\nloglevel = \"" + level +
               "\"\ndaemonize = F\npiddir = \"" + dir.path() +
               "\"\ndelay_initial_poll = F\ncollectors = {\nhost = \"127.0.0.1\"\nport = \"" +
               port + "\"\n}\n" + body;
    }
    static std::string sensors(int period1, int period2) {
        return "sensors = {\nname = \"TestSensor1\"\nperiod = " + std::to_string(period1) +
               "\n}, {\nname = \"TestSensor2\"\nperiod = " + std::to_string(period2) + "\n}\n";
    }
    void writeConfig(const std::string& text) { std::ofstream(cfgPath) << text; }

    bool start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {CVXSENSORS, "-C", cfgPath};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Null;
        o.output = ChildProcess::Output::Inherit;
        o.error = ChildProcess::ErrorOutput::Inherit;
        return daemon.start(CVXSENSORS, argv, o).ok();
    }
    bool logHas(const std::string& text) {
        return readFile(logPath).find(text) != std::string::npos;
    }
    bool running() { return logHas("] SensorCtrl: Executing sensor: "); }

    // Sends sig and waits for the end; the exit code (-1 when it did not end
    // within timeoutMs) and the seconds it took.
    int stop(int sig, int timeoutMs, double& seconds) {
        const auto begin = Clock::now();
        daemon.signal(sig);
        ChildProcess::WaitResult w = daemon.wait(timeoutMs);
        seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        return StubHarness::exitCodeOf(w);
    }

    StubHarness::TempDir dir;
    std::string cfgPath;
    std::string logPath;
    std::string pidPath;
    ChildProcess daemon;
};

// ---------------------------------------------------------------------------

TEST_F(DaemonTest, UnusableConfigurationExits78BeforeAnythingElse) {
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string NOT_A_PORT = " is neither a number from 1 to 65535 nor a service name!";
    struct Case {
        const char* why;
        std::string text;  // null-like empty: no file at all
        std::vector<std::string> extraArgs;
        std::vector<std::string> messages;
        std::string path = "";  // the -C argument when not cfgPath
    } cases[] = {
        {"missing file",
         "",
         {},
         {"[Error  ]: Could not open configuration file " + cfgPath + " for reading.",
          "[Error  ]: No collector host defined in " + cfgPath + "!"}},
        {"syntax error",
         "piddir = \"" + dir.path() + "\"\nlogfile = \"" + logPath + "\"\nsensors = = 1\n",
         {},
         {"[Error  ]: Syntax Error on or before line 3 in configuration file " + cfgPath}},
        {"no collector host",
         "piddir = \"" + dir.path() + "\"\nlogfile = \"" + logPath +
             "\"\ncollectors = {\nhost = \"\"\nport = \"4739\"\n}\n",
         {},
         {"[Info   ]: Successfully read configuration from file " + cfgPath,
          "[Error  ]: No collector host defined in " + cfgPath + "!"}},
        {"unknown option", config("4739", ""), {"-Z"}, {"[Error  ]: Unknown option Z."}},
        {"option value the file cannot carry",
         config("4739", ""),
         {"-L", "caf\xc3\xa9"},
         {"[Error  ]: Value for parameter logfile holds the non-ASCII byte 0xC3."}},
        {"a directory",
         "",
         {},
         {"[Error  ]: Could not open configuration file " + dir.path() + " for reading."},
         dir.path()},
        {"a FIFO without a writer",
         "",
         {},
         {"[Error  ]: Could not open configuration file " + fifo + " for reading."},
         fifo},
        {"a port the resolver would take modulo 65536",
         config("99999", ""),
         {},
         {"[Error  ]: Collector port '99999' in " + cfgPath + NOT_A_PORT}},
        {"a port with a blank the resolver would skip",
         config(" 99695", ""),
         {},
         {"[Error  ]: Collector port ' 99695' in " + cfgPath + NOT_A_PORT}},
        {"a port with a sign",
         config("+120249", ""),
         {},
         {"[Error  ]: Collector port '+120249' in " + cfgPath + NOT_A_PORT}},
        {"a candidate list written as one host",
         "logfile = \"" + logPath +
             "\"\ncollectors = {\nhost = \"10.0.0.1,10.0.0.2\"\nport = \"4740\"\n}\n",
         {},
         {"[Error  ]: Collector host '10.0.0.1,10.0.0.2' in " + cfgPath +
          " is not a host name or address!"}},
        {"an address the resolver would read as octal, 8.0.0.1",
         "logfile = \"" + logPath +
             "\"\ncollectors = {\nhost = \"010.0.0.1\"\nport = \"4739\"\n}\n",
         {},
         {"[Error  ]: Collector host '010.0.0.1' in " + cfgPath +
          " is not a host name or address!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::remove(cfgPath.c_str());
        if (!c.text.empty()) writeConfig(c.text);
        std::vector<std::string> argv = {CVXSENSORS, "-C", c.path.empty() ? cfgPath : c.path};
        argv.insert(argv.end(), c.extraArgs.begin(), c.extraArgs.end());
        StubHarness::RunResult r = StubHarness::runProgram(CVXSENSORS, "", 20000, argv);
        EXPECT_EQ(r.exitStatus, 78);
        for (const std::string& m : c.messages)
            EXPECT_NE(r.output.find(m + "\n"), std::string::npos) << m << "\n" << r.output;
        EXPECT_FALSE(fileExists(logPath));
        EXPECT_FALSE(fileExists(pidPath));
    }
}

// A daemon that could not start says so in its exit status, not only in its
// message, so that a service manager or a script does not take it for running.
TEST_F(DaemonTest, StartUpFailuresExitWithTheirOwnStatus) {
    const std::string missing = dir.path() + "/missing";
    const std::string base =
        "loglevel = \"info\"\ndelay_initial_poll = F\ncollectors = {\nhost = "
        "\"127.0.0.1\"\nport = \"4739\"\n}\n" +
        sensors(0, 0);
    auto cfg = [&](const std::string& log, const std::string& pidDir, bool detach) {
        return "logfile = \"" + log + "\"\npiddir = \"" + pidDir +
               "\"\ndaemonize = " + (detach ? "T" : "F") + "\n" + base;
    };
    const std::string pidFile = missing + "/cvxsensors.pid";
    // With "/cvxsensors.pid" the PID file's path holds at most 199 characters:
    // longDir makes it one more, fitDir exactly 199 (a directory that does not
    // exist, so that the open names the whole path).
    const std::string longDir = dir.path() + "/" + std::string(184 - dir.path().size(), 'p');
    const std::string fitDir = dir.path() + "/" + std::string(183 - dir.path().size(), 'q');
    // Threads are created in this order: the logger, the controller, then one
    // per sensor in configuration order.
    const std::string oneSensor = "logfile = \"stdout\"\npiddir = \"" + dir.path() +
                                  "\"\ndaemonize = F\nloglevel = \"info\"\ncollectors = {\nhost = "
                                  "\"127.0.0.1\"\nport = \"4739\"\n}\nsensors = {\nname = "
                                  "\"TestSensor1\"\nperiod = 1\n}\n";
    struct Case {
        const char* why;
        std::string text;
        const char* failSys;  // "VAR=value" for the system-call shim, or null
        bool lockPidFile;     // the test holds the PID file's lock, as a running instance
        int status;
        std::string message;
    } cases[] = {
        {"log file in a directory that does not exist", cfg(missing + "/d.log", dir.path(), false),
         nullptr, false, 73,
         "Couldn't open log file " + missing + "/d.log: No such file or directory(2)"},
        {"PID directory that does not exist", cfg("stdout", missing, false), nullptr, false, 73,
         "] Main: Could not open PID file " + pidFile + ": No such file or directory (2)"},
        {"PID file locked by another instance", cfg("stdout", dir.path(), false), nullptr, true, 75,
         "] Main: PID file '" + pidPath +
             "' is locked; probably '" CVXSENSORS "' is already running"},
        {"daemonizing fork fails", cfg("stdout", dir.path(), true), "VELMAR_FAIL_FORK=1", false, 71,
         "] Main: Fork failed: Resource temporarily unavailable (11)"},
        {"logging backend's thread cannot start", cfg("stdout", dir.path(), false),
         "VELMAR_FAIL_THREAD=1", false, 71, "] Main: Could not initialize the logger backend!"},
        {"sensor controller's thread cannot start", cfg("stdout", dir.path(), false),
         "VELMAR_FAIL_THREAD=2", false, 71,
         "] Main: Could not start sensor controller: Resource temporarily unavailable!"},
        // Cut to fit, the path would name a file in another directory.
        {"PID directory too long for the PID file's path", cfg("stdout", longDir, false), nullptr,
         false, 73, "PID directory " + longDir + " is too long"},
        {"PID directory as long as the PID file's path allows", cfg("stdout", fitDir, false),
         nullptr, false, 73,
         "] Main: Could not open PID file " + fitDir + "/cvxsensors.pid: No such file"},
        {"the only sensor's thread cannot start", oneSensor, "VELMAR_FAIL_THREAD=3", false, 71,
         "] SensorCtrl: Could not start the thread of sensor TestSensor1: Resource temporarily "
         "unavailable (errno 11)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
#ifdef __SANITIZE_THREAD__
        if (c.failSys != nullptr) continue;  // ThreadSanitizer refuses a preloaded shim
#endif
        writeConfig(c.text);
        StubHarness::ScopedEnv env;
        if (c.failSys != nullptr) {
            env.preload(FAILSYS);
            const std::string var(c.failSys);
            env.set(var.substr(0, var.find('=')), var.substr(var.find('=') + 1).c_str());
        }
        int lock = -1;
        if (c.lockPidFile) {
            lock = open(pidPath.c_str(), O_RDWR | O_CREAT, 0600);
            struct flock l = {};
            l.l_type = F_WRLCK;
            l.l_whence = SEEK_SET;
            ASSERT_EQ(fcntl(lock, F_SETLK, &l), 0);
        }
        ChildProcess run;
        ChildProcess::Options o;
        o.error = ChildProcess::ErrorOutput::ToOutput;
        ASSERT_TRUE(run.start(CVXSENSORS, {CVXSENSORS, "-C", cfgPath}, o).ok());
        const std::string output = StubHarness::readUntil(run, "\x04", 20000);
        EXPECT_EQ(StubHarness::exitCodeOf(run.wait(20000)), c.status) << output;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        if (lock >= 0) close(lock);
        std::remove(pidPath.c_str());
    }
}

TEST_F(DaemonTest, RunsExportsAndStopsInOrder) {
    Collector collector(dir.path() + "/collector.out");
    ASSERT_FALSE(collector.port.empty());
    writeConfig(config(collector.port, sensors(1, 1)));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return fileExists(pidPath) && running(); }));

    // The PID file holds the id and stays write-locked by the daemon.
    EXPECT_EQ(readFile(pidPath), std::to_string(daemon.pid()) + "\n");
    const int fd = open(pidPath.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_GETLK, &lock), 0);
    close(fd);
    EXPECT_EQ(lock.l_type, F_WRLCK);
    EXPECT_EQ(lock.l_pid, daemon.pid());

    EXPECT_TRUE(waitFor([&] { return recordsSince(collector, {"TestSensor1", "TestSensor2"}); }));
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_FALSE(fileExists(pidPath));

    const std::vector<std::string> log = lines(readFile(logPath));
    ASSERT_FALSE(log.empty());
    for (const std::string& line : log) EXPECT_TRUE(wellFormed(line)) << line;
    const std::string startLine =
        std::string("[Info   ] Main: Starting ") + CVXSENSORS + " - revision 5.2.2-1";
    EXPECT_EQ(log[0].substr(log[0].find('[')), startLine);

    // Ordered stop: every sensor stops before the sensor main reports done.
    auto at = [&](const std::string& text) {
        for (size_t i = 0; i < log.size(); ++i)
            if (log[i].find("] " + text) != std::string::npos) return static_cast<long>(i);
        return -1L;
    };
    const long stopping = at("Main: Stopping sensor main");
    ASSERT_GT(stopping, at("Main: Starting sensor main"));
    EXPECT_GT(at("SensorCtrl: Sensor has stopped: TestSensor1"), stopping);
    EXPECT_GT(at("SensorCtrl: Sensor has stopped: TestSensor2"), stopping);
    EXPECT_GT(at("Main: Sensor main stopped"), at("SensorCtrl: Sensor has stopped: TestSensor1"));
    EXPECT_GT(at("Main: Sensor main stopped"), at("SensorCtrl: Sensor has stopped: TestSensor2"));

    const std::string exported = collector.finish();
    auto times = recordTimes(exported);
    EXPECT_GE(times["TestSensor1"].size(), 1u);
    EXPECT_GE(times["TestSensor2"].size(), 1u);
    EXPECT_NE(exported.find(" errors=0\n"), std::string::npos);
}

// A sensor whose thread cannot be created is named in an Error line; the
// daemon runs on with the others.
TEST_F(DaemonTest, SensorWhoseThreadCannotStartIsReportedAndTheOthersRun) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer refuses a preloaded shim";
#endif
    Collector collector(dir.path() + "/collector.out");
    ASSERT_FALSE(collector.port.empty());
    writeConfig(config(collector.port, sensors(1, 1)));
    {
        // The third thread is the first sensor's (logger, controller, sensors).
        StubHarness::ScopedEnv env;
        env.preload(FAILSYS);
        env.set("VELMAR_FAIL_THREAD", "3");
        ASSERT_TRUE(start());
    }
    EXPECT_TRUE(waitFor([&] { return recordsSince(collector, {"TestSensor2"}); }));
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_TRUE(
        logHas("[Error  ] SensorCtrl: Could not start the thread of sensor TestSensor1: "
               "Resource temporarily unavailable (errno 11)\n"))
        << readFile(logPath);
    EXPECT_TRUE(logHas("] SensorCtrl: Sensor has stopped: TestSensor2\n"));
    EXPECT_EQ(recordTimes(collector.finish()).count("TestSensor1"), 0u);
}

TEST_F(DaemonTest, SecondInstanceIsRefusedByThePidFileLock) {
    Collector collector(dir.path() + "/collector.out");
    writeConfig(config(collector.port, sensors(1, 0)));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return fileExists(pidPath) && running(); }));

    StubHarness::RunResult second =
        StubHarness::runProgram(CVXSENSORS, "", 20000, {CVXSENSORS, "-C", cfgPath, "-L", "stdout"});
    EXPECT_EQ(second.exitStatus, 75);
    EXPECT_NE(second.output.find("] Main: PID file '" + pidPath + "' is locked; probably '" +
                                 CVXSENSORS + "' is already running\n"),
              std::string::npos)
        << second.output;
    // The refused instance leaves the running one's PID file alone.
    EXPECT_EQ(readFile(pidPath), std::to_string(daemon.pid()) + "\n");

    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);
    EXPECT_FALSE(fileExists(pidPath));
}

TEST_F(DaemonTest, ReloadChangesTheLogLevelAndSensorPeriods) {
    Collector collector(dir.path() + "/collector.out");
    writeConfig(config(collector.port, sensors(1, 1)));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return running(); }));
    // Export times are rounded to the nearest second: one may lie ahead of
    // this clock for half a second.
    EXPECT_TRUE(waitFor([&] {
        const long now = static_cast<long>(time(nullptr));
        return countBetween(recordTimes(collector.soFar())["TestSensor1"], 0, now) > 0;
    }));

    // Errors only, and TestSensor1 off.
    writeConfig(config(collector.port, sensors(0, 1), "error"));
    const long offAt = static_cast<long>(time(nullptr));
    daemon.signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] { return logHas("updateConfig: Change the log level to 'error'."); }));
    // A TestSensor2 record inside the window checked below, which ends a
    // second before the next reload.
    EXPECT_TRUE(waitFor([&] {
        const long now = static_cast<long>(time(nullptr));
        return countBetween(recordTimes(collector.soFar())["TestSensor2"], offAt + 2, now - 1) > 0;
    }));

    writeConfig(config(collector.port, sensors(1, 1)));
    const long onAt = static_cast<long>(time(nullptr));
    daemon.signal(SIGHUP);
    ASSERT_TRUE(waitFor([&] {
        return logHas(
            "updateSensorPeriod: Sensor TestSensor1 has period 0 sec. We try to "
            "reactivate it by configuration reload.");
    }));
    EXPECT_TRUE(waitFor([&] { return recordsSince(collector, {"TestSensor1"}, onAt + 1); }));
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);

    // Nothing below Error was written while the level was "error": the next
    // Info line is the reload that switched back.
    const std::vector<std::string> log = lines(readFile(logPath));
    size_t i = 0;
    while (i < log.size() && log[i].find("Change the log level to 'error'") == std::string::npos)
        ++i;
    ASSERT_LT(i, log.size());
    for (++i; i < log.size(); ++i) {
        if (log[i].find("[Info   ]") != std::string::npos ||
            log[i].find("[Debug  ]") != std::string::npos)
            break;
    }
    ASSERT_LT(i, log.size());
    EXPECT_NE(log[i].find("] Main: updateConfig: Attempt to update sensor cfgfile buffer object."),
              std::string::npos)
        << log[i];

    // Period 0 stopped TestSensor1 and the second reload restarted it.
    auto times = recordTimes(collector.finish());
    EXPECT_EQ(countBetween(times["TestSensor1"], offAt + 2, onAt - 1), 0u);
    EXPECT_GE(countBetween(times["TestSensor2"], offAt + 2, onAt - 1), 1u);
    EXPECT_GE(countBetween(times["TestSensor1"], onAt + 1, onAt + 100), 1u);
    EXPECT_GE(countBetween(times["TestSensor1"], 0, offAt), 1u);
}

TEST_F(DaemonTest, StopSignalRightAfterStartIsNotLost) {
    Collector collector(dir.path() + "/collector.out");
    writeConfig(config(collector.port, sensors(1, 1)));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return fileExists(pidPath); }, 20000));
    daemon.signal(SIGHUP);
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_FALSE(fileExists(pidPath));
    EXPECT_TRUE(logHas("] Main: Sensor main stopped\n"));
}

#ifdef VELMAR_HAVE_BLASTER
TEST_F(DaemonTest, StopsInTimeWhileACollectorDoesNotRead) {
    // The Blaster sends as fast as it may, so the unread connection's buffers
    // fill and the controller blocks in a send.
    Collector collector(dir.path() + "/collector.out", {"-s", "2"});
    writeConfig(
        config(collector.port, "blaster = {\nblastertype = \"metric\"\nblasterperiod = 10\n}\n"));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return running(); }));
    // The collector has stopped reading and the daemon's bytes pile up unsent.
    EXPECT_TRUE(waitFor([&] {
        return collector.soFar().find("stopped reading after 2 messages") != std::string::npos &&
               sendQueueTo(collector.port, "01") > 0;
    }));
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_FALSE(fileExists(pidPath));
    EXPECT_NE(collector.finish().find("stopped reading after 2 messages"), std::string::npos);
}

// Blaster mode connects before it starts sampling; a stop signal during that
// wait, with a collector host that never answers, takes effect at once.
TEST_F(DaemonTest, StopsInTimeDuringTheBlasterConnect) {
    nettest::SilentListener silent;
    ASSERT_FALSE(silent.port.empty());
    if (!silent.silent()) GTEST_SKIP() << "the kernel answers a full accept queue";
    writeConfig(
        config(silent.port, "blaster = {\nblastertype = \"metric\"\nblasterperiod = 1000\n}\n"));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return logHas("Blaster mode - all other sensors are disabled!"); }));
    EXPECT_TRUE(waitFor([&] { return sendQueueTo(silent.port, "02") >= 0; }));  // connecting
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_TRUE(logHas("] Main: Sensor main stopped\n"));
}
#endif

// A stop signal while the singleton election waits for a repository tool
// that does not answer takes effect at once, not after the tool's time-out.
TEST_F(DaemonTest, StopsInTimeDuringASlowElection) {
    Collector collector(dir.path() + "/collector.out");
    const std::string root = dir.path() + "/root";
    ASSERT_TRUE(StubHarness::makeDirs(root + "/usr/vnx/qorm/bin"));
    const std::string tool = root + "/usr/vnx/qorm/bin/kvreg";
    const std::string asked = dir.path() + "/asked";
    std::ofstream(tool) << "#!/bin/sh\n: > '" << asked << "'\nexec sleep 30\n";
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    StubHarness::ScopedEnv env;
    env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    writeConfig(config(collector.port,
                       "sensors = {\nname = \"TestSensor1\"\nperiod = 1\nrestrict = "
                       "\"@perf.node\"\n}\n"));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return logHas("restrict has singleton value @perf.node"); }));
    EXPECT_TRUE(waitFor([&] { return fileExists(asked); }));
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 15000, seconds), 0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_TRUE(logHas("Sensor TestSensor1 singleton query given up: the daemon is stopping"));
}

#ifdef VELMAR_HAVE_GENERIC
TEST_F(DaemonTest, GenericSensorFromItsMetaFile) {
    // The fake proxy answers every request with one record: keys node,
    // sensor and item (the request word), values pid and count.
    std::ofstream(dir.path() + "/GenX.cfg") << StubHarness::genericMetaText(FAKEPROXY, "");

    Collector collector(dir.path() + "/collector.out");
    // Without `metaCfgdir` the meta-file lies beside the configuration file.
    writeConfig(config(collector.port,
                       "sensors = {\nname = \"GenX\"\ntype = \"Generic\"\nperiod = 1\n}\n"));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitFor([&] { return running(); }));
    EXPECT_TRUE(waitFor([&] { return recordsSince(collector, {"GenX"}); }));
    double seconds = 0;
    EXPECT_EQ(stop(SIGTERM, 10000, seconds), 0);

    EXPECT_TRUE(logHas("] SensorCtrl: \tmetrics: node sensor item metric_key count pid \n"));
    const std::string exported = collector.finish();
    EXPECT_NE(exported.find("sensor=\"GenX\" item=\"stats\" metric_key="), std::string::npos);
    EXPECT_GE(recordTimes(exported)["GenX"].size(), 1u);
}
#endif

TEST_F(DaemonTest, DaemonizeWithoutLogFileWritesVelmarSensorsLog) {
    Collector collector(dir.path() + "/collector.out");
    writeConfig("logfile = \"\"\ndaemonize = T\npiddir = \"" + dir.path() +
                "\"\ncollectors = {\nhost = \"127.0.0.1\"\nport = \"" + collector.port + "\"\n}\n" +
                sensors(1, 0));
    // The parent returns at once; the daemon runs on in the directory.
    StubHarness::RunResult r = StubHarness::runProgram(
        "/bin/sh", "", 20000,
        {"/bin/sh", "-c", "cd '" + dir.path() + "' && exec '" CVXSENSORS "' -C '" + cfgPath + "'"});
    EXPECT_EQ(r.exitStatus, 0);
    ASSERT_TRUE(waitFor([&] { return !readFile(pidPath).empty(); }));
    const pid_t pid = std::atoi(readFile(pidPath).c_str());
    ASSERT_GT(pid, 1);
    const std::string log = dir.path() + "/VelmarSensors.log";
    EXPECT_TRUE(waitFor([&] {
        return readFile(log).find("] SensorCtrl: Executing sensor: TestSensor1\n") !=
               std::string::npos;
    }));
    EXPECT_NE(readFile(log).find("[Info   ] Main: Starting " CVXSENSORS " - revision 5.2.2-1\n"),
              std::string::npos);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(waitFor([&] { return !fileExists(pidPath); }, 10000));
    EXPECT_TRUE(waitFor([&] { return ended(pid); }, 10000));
    EXPECT_NE(readFile(log).find("] Main: Sensor main stopped\n"), std::string::npos);
}

}  // namespace
