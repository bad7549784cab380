// The built daemon with the top-process and free-space sensors on this
// machine (the process table through the project's own library, the real
// df), exporting to the test collector.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "TopkReport.h"
#include "stubs/StubHarness.h"

namespace {

using e2e::lines;
using e2e::readFile;

// The value of name=... in a collector line: a quoted string without its
// quotes, or the word up to the next blank.
std::string value(const std::string& line, const std::string& name) {
    const size_t at = line.find(" " + name + "=");
    if (at == std::string::npos) return "";
    size_t from = at + name.size() + 2;
    if (line[from] == '"') {
        const size_t end = line.find('"', from + 1);
        return line.substr(from + 1, end - from - 1);
    }
    const size_t end = line.find(' ', from);
    return line.substr(from, end == std::string::npos ? end : end - from);
}

std::vector<std::string> realDfMountPoints() {
    std::vector<std::string> mounts;
    FILE* p = popen("/bin/df -k -l -P", "r");
    if (p == nullptr) return mounts;
    char line[4096];
    bool header = true;
    while (std::fgets(line, sizeof line, p) != nullptr) {
        if (header) {
            header = false;
            continue;
        }
        std::string l(line);
        if (!l.empty() && l.back() == '\n') l.pop_back();
        // Five columns, then the mount point, which may hold blanks.
        std::istringstream in(l);
        std::string word;
        for (int i = 0; i < 5; ++i) in >> word;
        in >> std::ws;
        std::string mount;
        std::getline(in, mount);
        mounts.push_back(mount);
    }
    pclose(p);
    return mounts;
}

TEST(ToolSensorsE2E, TopProcAndDiskFreeReachTheCollector) {
    StubHarness::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string outPath = dir.path() + "/collector.out";
    const std::string cfgPath = dir.path() + "/daemon.cfg";
    const std::string logPath = dir.path() + "/daemon.log";

    ChildProcess collector;
    {
        ChildProcess::Options o;
        o.output = ChildProcess::Output::Pipe;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(collector
                        .start(IPFIX_COLLECTOR,
                               {IPFIX_COLLECTOR, "-p", "0", "-v", "-t", "60", "-o", outPath}, o)
                        .ok());
    }
    const std::string first = StubHarness::readUntil(collector, "\n", 10000);
    ASSERT_EQ(first.compare(0, 5, "port "), 0) << first;
    const std::string port = first.substr(5, first.size() - 6);

    std::ofstream(cfgPath) << "logfile = \"" << logPath
                           << "\"\nloglevel = \"info\"\ndaemonize = F\npiddir = \"" << dir.path()
                           << "\"\ndelay_initial_poll = F\ncollectors = {\nhost = \"127.0.0.1\""
                              "\nport = \""
                           << port
                           << "\"\n}\nsensors = {\nname = \"TopProc\"\nperiod = 1\n}, {\nname = "
                              "\"DiskFree\"\nperiod = 1\n}\n";

    ChildProcess daemon;
    {
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Null;
        o.output = ChildProcess::Output::Inherit;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(daemon.start(CVXSENSORS, {CVXSENSORS, "-C", cfgPath}, o).ok());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);
    collector.signal(SIGTERM);
    collector.wait(10000);
    collector.release();

    const std::vector<std::string> out = lines(readFile(outPath));
    std::set<std::string> topTemplates;
    std::vector<std::string> topFields;
    std::map<std::string, std::vector<std::string>> dfMountsBySeq;
    for (const std::string& line : out) {
        if (line.compare(0, 6, "ERROR ") == 0) {
            ADD_FAILURE() << line;
        } else if (line.compare(0, 9, "template ") == 0 &&
                   line.find(",10010:") != std::string::npos) {
            topTemplates.insert(value(line, "specs"));
        } else if (line.compare(0, 7, "record ") == 0) {
            const std::string sensor = value(line, "sensor");
            if (sensor == "TopProc") topFields.push_back(value(line, "top"));
            if (sensor == "DiskFree") {
                dfMountsBySeq[value(line, "seq") + "/" + value(line, "set")].push_back(
                    value(line, "mountPoint"));
            }
        }
    }

    EXPECT_EQ(topTemplates, std::set<std::string>{"100:64:2,101:36:2,106:12:2,10010:280:2"});
    ASSERT_FALSE(topFields.empty()) << "no top-process report arrived";
    for (const std::string& hex : topFields) {
        ASSERT_EQ(hex.size(), 2u + 2 * 280) << hex;
        std::string bytes;
        for (size_t i = 2; i < hex.size(); i += 2) {
            bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        TopkReport report;
        EXPECT_EQ(report.parse(bytes.data(), bytes.size()), 0);
        EXPECT_EQ(report.getTopk().size(), 10u);
        EXPECT_GT(report.getInterval(), 0u);
    }

    ASSERT_GE(dfMountsBySeq.size(), 2u) << "a DiskFree sample every second";
    const std::vector<std::string> expected = realDfMountPoints();
    for (const auto& sample : dfMountsBySeq) EXPECT_EQ(sample.second, expected);
}

// The daemon is stopped while DiskFree waits for a df that hangs with a
// child that ignores SIGTERM: the stop takes well under the time-out of the
// controller's join, writes nothing to standard output and leaves neither
// running. It runs as the kernel allows and as on one that refuses to signal
// a group through a pidfd (before Linux 6.9).
TEST(ToolSensorsE2E, AStopEndsAHungDfAndItsChild) {
    bool refusedRuns[] = {false, true};
#ifdef __SANITIZE_THREAD__
    // The refusal is preloaded, which ThreadSanitizer does not support.
    refusedRuns[1] = false;
#endif
    for (const bool refused : refusedRuns) {
        SCOPED_TRACE(refused ? "group pidfd signal refused" : "as the kernel allows");
        StubHarness::TempDir dir;
        const std::string root = dir.path() + "/root";
        ASSERT_TRUE(StubHarness::makeDirs(root + "/bin"));
        ASSERT_EQ(symlink(VELMAR_SOURCE_DIR "/tests/stubs/fake_df.sh", (root + "/bin/df").c_str()),
                  0);
        std::ofstream(root + "/bin/df.hang").close();
        std::ofstream(root + "/bin/df.fork").close();
        e2e::Collector collector(dir.path() + "/collector.out");
        StubHarness::ScopedEnv env;
        env.set("VELMAR_PLATFORM_ROOT", root.c_str());
        if (refused) {
            env.preload(FAILSYS);
            env.set("VELMAR_REFUSE_PIDFD_GROUP", "1");
        }
        std::ofstream(dir.path() + "/daemon.cfg")
            << "logfile = \"" << dir.path() << "/daemon.log\"\ndaemonize = F\npiddir = \""
            << dir.path() << "\"\ndelay_initial_poll = F\ncollectors = {\nhost = \"127.0.0.1\""
            << "\nport = \"" << collector.port
            << "\"\n}\nsensors = {\nname = \"DiskFree\"\nperiod = 1\n}\n";
        ChildProcess daemon;
        ChildProcess::Options o;
        o.output = ChildProcess::Output::Pipe;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(
            daemon.start(CVXSENSORS, {CVXSENSORS, "-C", dir.path() + "/daemon.cfg"}, o).ok());
        e2e::Stopper stopper{daemon};
        const std::string pidFile = root + "/bin/df.pids";
        ASSERT_TRUE(e2e::waitFor([&] { return lines(readFile(pidFile)).size() >= 2; }, 30));
        // What the start-up wrote ends with the configuration file read.
        const std::string startup =
            StubHarness::readUntil(daemon, "file " + dir.path() + "/daemon.cfg\n", 10000);
        ASSERT_NE(startup.find("Successfully read configuration"), std::string::npos) << startup;

        const auto begin = std::chrono::steady_clock::now();
        daemon.signal(SIGTERM);
        EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_LT(took, 2.0);
        EXPECT_EQ(StubHarness::readUntil(daemon, "\n", 1000), "");
        for (const std::string& p : lines(readFile(pidFile))) {
            const int pid = std::stoi(p);
            EXPECT_TRUE(e2e::waitFor([&] { return !StubHarness::running(pid); }, 2)) << pid;
            if (StubHarness::running(pid)) kill(pid, SIGKILL);
        }
    }
}

}  // namespace
