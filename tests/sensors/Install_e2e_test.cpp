// The installed tree end to end: cmake --install into a temporary DESTDIR,
// the files where the built-in defaults look for them, run paths relative to
// the programs, and the installed daemon sampling the top-process sensor
// through the library installed beside it.
#include <gtest/gtest.h>
#include <signal.h>
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
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
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
