// The installed tree end to end: cmake --install into a temporary DESTDIR,
// the files where the built-in defaults look for them, run paths relative to
// the programs, the service unit, log directory and rotation rule, statkeepctl
// restarting that unit, the installed daemon sampling the top-process sensor
// through the library installed beside it, and the installed demo running as
// it stands.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "stubs/StubHarness.h"

namespace {

using e2e::readFile;

// Single quotes around a path; the paths used here hold none.
std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value of a "key = \"value\"" line of a configuration file.
std::string configValue(const std::string& text, const std::string& key) {
    const size_t at = text.find("\n" + key + " = \"");
    if (at == std::string::npos) return "";
    const size_t begin = at + key.size() + 5;
    return text.substr(begin, text.find('"', begin) - begin);
}

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        root = dir.path() + "/stage" + VELMAR_INSTALL_PREFIX;
        const std::string log = dir.path() + "/install.log";
        const std::string command = "DESTDIR=" + quoted(dir.path() + "/stage") + " " +
                                    quoted(CMAKE_COMMAND) + " --install " +
                                    quoted(VELMAR_BINARY_DIR) + " > " + quoted(log) + " 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << readFile(log);
    }

    StubHarness::TempDir dir;
    std::string root;
};

// The unit runs the installed daemon and creates the directory of the default
// log file, which the install creates too and the rotation rule names. It
// does not retry what a restart cannot mend (a bad or missing configuration,
// another instance), gives up on a start that keeps failing, is not started
// without the configuration file, reloads
// through the daemon's SIGHUP and names the guide installed beside the
// programs.
TEST_F(InstallTest, ServiceUnitLogDirectoryAndRotationRule) {
    const std::string stage = dir.path() + "/stage";
    const std::string unit = readFile(stage + VELMAR_SYSTEMD_UNITDIR "/cvxsensors.service");
    const std::string logFile =
        configValue(readFile(root + "/defaults/VelmarSensors.cfg"), "logfile");
    ASSERT_EQ(logFile.compare(0, 9, "/var/log/"), 0) << logFile;
    const std::string logDir = logFile.substr(0, logFile.rfind('/'));
    const std::string rotation = readFile(stage + "/etc/logrotate.d/cvxsensors");
    const std::string guide = "/doc/operator-guide.md";
    const std::string lines[] = {"ExecStart=" VELMAR_INSTALL_PREFIX "/cvxsensors",
                                 "LogsDirectory=" + logDir.substr(9),
                                 "Restart=on-failure",
                                 "RestartPreventExitStatus=75 78",
                                 "KillMode=control-group",
                                 "ConditionPathExists=/opt/Ostrel/velmar/VelmarSensors.cfg",
                                 "ExecReload=/bin/kill -HUP $MAINPID",
                                 "Documentation=file:" VELMAR_INSTALL_PREFIX + guide};
    for (const std::string& line : lines)
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
    // A start that fails at once is tried StartLimitBurst times, RestartSec
    // apart: the tries must fall within the start limit's interval, or they
    // go on for ever. A daemon that ran longer than the interval is always
    // restarted.
    const std::string unitSection = unit.substr(0, unit.find("\n[Service]\n"));
    auto value = [](const std::string& text, const std::string& key) {
        const size_t at = text.find("\n" + key + "=");
        return at == std::string::npos ? -1L : std::atol(text.c_str() + at + key.size() + 2);
    };
    const long interval = value(unitSection, "StartLimitIntervalSec"),
               burst = value(unitSection, "StartLimitBurst"), pause = value(unit, "RestartSec");
    EXPECT_TRUE(burst >= 2 && burst <= 10 && pause > 0 && (burst - 1) * pause < interval &&
                interval <= 600)
        << unit;
    EXPECT_EQ(readFile(root + guide), readFile(VELMAR_SOURCE_DIR "/docs/operator-guide.md"));
    EXPECT_TRUE(isDirectory(stage + logDir));
    EXPECT_NE(rotation.find("\n" + logFile + " {\n"), std::string::npos) << rotation;
    EXPECT_NE(rotation.find("\tcopytruncate\n"), std::string::npos);

    // systemd's own check, with the daemon where the unit expects it.
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    std::string staged = unit;
    const std::string exec = "ExecStart=" VELMAR_INSTALL_PREFIX;
    staged.replace(staged.find(exec), exec.size(), "ExecStart=" + root);
    const std::string copy = dir.path() + "/cvxsensors.service";
    std::ofstream(copy) << staged;
    const std::string out = capture("systemd-analyze verify " + quoted(copy) + " 2>&1; echo rc=$?");
    EXPECT_NE(out.find("rc=0\n"), std::string::npos) << out;
}

// statkeepctl, installed, writes the daemon's configuration and restarts the
// installed unit through systemctl (a stand-in under the platform root).
TEST_F(InstallTest, StatkeepctlRestartsTheInstalledUnit) {
    const std::string stage = dir.path() + "/stage";
    ASSERT_TRUE(StubHarness::makeDirs(stage + "/usr/bin"));
    ASSERT_TRUE(StubHarness::makeDirs(stage + "/tmp"));
    ASSERT_TRUE(StubHarness::makeDirs(stage + "/opt/Ostrel/velmar"));
    const std::string systemctl = stage + "/usr/bin/systemctl";
    ASSERT_EQ(symlink(VELMAR_SOURCE_DIR "/tests/stubs/fake_systemctl.sh", systemctl.c_str()), 0);
    const std::string cluster = dir.path() + "/cluster.cfg";
    std::ofstream(cluster) << "colCandidates = \"c1\"\n";
    StubHarness::ScopedEnv env;
    env.set("VELMAR_PLATFORM_ROOT", stage.c_str());
    const StubHarness::ToolRun r =
        StubHarness::runTool(dir.path(), {root + "/statkeepctl", "enable", "1", "node1", cluster});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const std::string calls = readFile(systemctl + ".log");
    ASSERT_EQ(calls.compare(0, 8, "restart "), 0) << calls;
    const std::string unit = calls.substr(8, calls.find('\n') - 8);
    EXPECT_EQ(calls, "restart " + unit + "\n");
    EXPECT_EQ(access((stage + VELMAR_SYSTEMD_UNITDIR "/" + unit).c_str(), R_OK), 0) << unit;
    EXPECT_NE(readFile(stage + "/opt/Ostrel/velmar/VelmarSensors.cfg").find("c1"),
              std::string::npos);
}

// The installed demo configuration, as it stands, with the collector
// installed beside it on the port it names.
TEST_F(InstallTest, InstalledDemoRunsAsItStands) {
    const std::string demo = root + "/demo/cvxsensors-demo.cfg";
    const std::string text = readFile(demo);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('@'), std::string::npos) << "a placeholder is left";
    const std::string port = configValue(text, "\tport");
    ASSERT_FALSE(port.empty());

    const std::string out = dir.path() + "/collector.out";
    ChildProcess collector;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Null;
    o.error = ChildProcess::ErrorOutput::ToOutput;
    const std::string tool = root + "/demo/ipfix_collector";
    ASSERT_TRUE(collector.start(tool, {tool, "-p", port, "-v", "-t", "60", "-o", out}, o).ok());
    const std::string first = StubHarness::readUntil(collector, "\n", 10000);
    if (first.find("cannot listen") != std::string::npos) GTEST_SKIP() << first;
    ASSERT_EQ(first, "port " + port + "\n");

    ChildProcess daemon;
    o.output = ChildProcess::Output::Inherit;  // the demo logs to standard output
    const std::string program = root + "/cvxsensors";
    ASSERT_TRUE(daemon.start(program, {program, "-C", demo}, o).ok());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (readFile(out).find("sensor=\"CPU\"") == std::string::npos &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);
    collector.signal(SIGTERM);
    collector.wait(10000);
    EXPECT_NE(readFile(out).find("sensor=\"CPU\""), std::string::npos) << readFile(out);
}

TEST_F(InstallTest, FilesWhereTheDefaultsNameThemWithRunPathsOfTheirOwn) {
    for (const char* file : {"lib/libprocps.so.9", "defaults/VelmarSensors.cfg",
                             "demo/cvxsensors-demo.cfg"})
        EXPECT_EQ(access((root + "/" + file).c_str(), R_OK), 0) << file;
    EXPECT_NE(readFile(root + "/defaults/VelmarSensors.cfg")
                  .find(std::string("tallyq = \"") + VELMAR_INSTALL_PREFIX + "/TallyqSockRelay\""),
              std::string::npos);

    std::istringstream programs(VELMAR_INSTALLED_PROGRAMS);
    std::string program;
    while (programs >> program) {
        SCOPED_TRACE(program);
        const std::string path = root + "/" + program;
        ASSERT_EQ(access(path.c_str(), X_OK), 0);
        const std::string dynamic = capture("readelf -d " + quoted(path));
        ASSERT_NE(dynamic.find("(NEEDED)"), std::string::npos);
        // Nothing installed may lead back into the build tree.
        EXPECT_EQ(dynamic.find(VELMAR_BINARY_DIR), std::string::npos);
        EXPECT_EQ(dynamic.find("(RUNPATH)"), std::string::npos);
        if (VELMAR_STATIC_RUNTIME) {
            EXPECT_EQ(dynamic.find("libstdc++"), std::string::npos);
        }
        if (program == "cvxsensors") {
            EXPECT_NE(dynamic.find("(RPATH)              Library rpath: [$ORIGIN/lib]\n"),
                      std::string::npos)
                << dynamic;
        }
    }
}

// A library of the same name but without the scan functions comes first on
// LD_LIBRARY_PATH: the daemon must still bind the one installed beside it, or
// the sensor never registers and no record arrives.
TEST_F(InstallTest, InstalledDaemonSamplesTopProcessesThroughItsOwnLibrary) {
    e2e::Collector collector(dir.path() + "/collector.out");
    ASSERT_FALSE(collector.port.empty());
    const std::string cfg = dir.path() + "/daemon.cfg";
    const std::string log = dir.path() + "/daemon.log";
    std::ofstream(cfg) << "logfile = \"" << log << "\"\ndaemonize = F\npiddir = \"" << dir.path()
                       << "\"\ndelay_initial_poll = F\ncollectors = {\nhost = \"127.0.0.1\"\n"
                       << "port = \"" << collector.port << "\"\n}\n"
                       << "sensors = {\nname = \"TopProc\"\nperiod = 1\n}\n";

    setenv("LD_LIBRARY_PATH", PROCPS_DECOY_DIR, 1);
    const std::string daemonPath = root + "/cvxsensors";
    ChildProcess daemon;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Null;
    o.output = ChildProcess::Output::Inherit;
    o.error = ChildProcess::ErrorOutput::Inherit;
    const bool started = daemon.start(daemonPath, {daemonPath, "-C", cfg}, o).ok();
    unsetenv("LD_LIBRARY_PATH");
    ASSERT_TRUE(started);

    // The first scan only sets the baseline; records follow from the second.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count(collector.soFar(), "sensor=\"TopProc\"") == 0 &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    daemon.signal(SIGTERM);
    ChildProcess::WaitResult w = daemon.wait(10000);
    if (!w.reaped) {
        daemon.signal(SIGKILL);
        daemon.wait();
    }
    EXPECT_EQ(StubHarness::exitCodeOf(w), 0) << readFile(log);
    EXPECT_NE(readFile(log).find("] SensorCtrl: Executing sensor: TopProc"), std::string::npos)
        << readFile(log);
    EXPECT_GE(count(collector.finish(), "sensor=\"TopProc\""), 1u);
}

}  // namespace
