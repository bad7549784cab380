// The daemon with the /proc host sensors at period 1 against the test
// collector: first on a fixture /proc tree whose /proc/stat grows while the
// daemon runs, so every CPU record has known shares; then on this machine's
// own /proc, read only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "stubs/StubHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Collector;
using e2e::lines;
using e2e::readFile;
using e2e::Record;
using e2e::words;

// What the collector saw: the data records by sensor, and every data set
// whose length is not a whole number of its template's records.
struct Export {
    std::map<std::string, std::vector<Record>> records;
    std::vector<std::string> badSets;
    bool clean = false;  // summary with errors=0
};

Export parseExport(const std::string& output) {
    Export e;
    std::map<std::string, long> reclen;  // by "conn/id"
    for (const std::string& line : lines(output)) {
        if (line.rfind("template ", 0) == 0) {
            Record w = words(line);
            reclen[w["conn"] + "/" + w["id"]] = std::atol(w["reclen"].c_str());
        } else if (line.rfind("set ", 0) == 0) {
            Record w = words(line);
            if (w["id"] == "2") continue;  // template sets
            const long length = std::atol(w["length"].c_str());
            const long records = std::atol(w["records"].c_str());
            const auto t = reclen.find(w["conn"] + "/" + w["id"]);
            if (t == reclen.end() || records < 1 || length - 4 != records * t->second) {
                e.badSets.push_back(line);
            }
        } else if (line.rfind("record ", 0) == 0) {
            Record w = words(line);
            if (w.count("sensor") != 0 && w.count("metric_key") != 0) {
                e.records[w["sensor"]].push_back(w);
            }
        } else if (line.rfind("summary ", 0) == 0) {
            e.clean = line.find(" errors=0") != std::string::npos;
        }
    }
    return e;
}

class HostSensorsE2E : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    void TearDown() override {
        if (daemon.pid() > 0) {
            daemon.signal(SIGKILL);
            daemon.wait();
        }
        unsetenv("VELMAR_PLATFORM_ROOT");
    }

    // Runs the daemon with the six sensors at period 1 for `seconds`, then
    // stops it and the collector; returns what the collector decoded.
    Export run(double seconds, const std::function<void()>& whileRunning = {}) {
        Collector collector(dir.path() + "/collector.out");
        EXPECT_FALSE(collector.port.empty());
        EXPECT_TRUE(e2e::startDaemon(daemon, dir.path(), collector.port, "loglevel = \"info\"\n",
                                     {"CPU", "Memory", "Load", "Network", "Diskstat", "Netstat"}));
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (whileRunning) whileRunning();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        daemon.signal(SIGTERM);
        EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);
        const std::string log = readFile(dir.path() + "/daemon.log");
        EXPECT_EQ(log.find("[Error  ]"), std::string::npos) << log;
        return parseExport(collector.finish());
    }

    StubHarness::TempDir dir;
    ChildProcess daemon;
};

TEST_F(HostSensorsE2E, FixtureTreeGivesTheExpectedRecords) {
    const std::string root = dir.path() + "/root";
    ASSERT_TRUE(StubHarness::makeDirs(root + "/proc/net"));
    const std::string fixtures = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/proc/";
    const std::pair<const char*, const char*> files[] = {
        {"memory/meminfo", "/proc/meminfo"}, {"load/loadavg", "/proc/loadavg"},
        {"network/dev", "/proc/net/dev"},    {"diskstat/diskstats", "/proc/diskstats"},
        {"netstat/tcp", "/proc/net/tcp"},
    };
    for (const auto& f : files) std::ofstream(root + f.second) << readFile(fixtures + f.first);

    // /proc/stat grows by user 100, system 50, idle 850 per step, rewritten
    // in place with one write of constant length, so every pair of samples
    // differs by a multiple of those deltas: shares 10.00 %, 5.00 %, 85.00 %.
    const int statFd = open((root + "/proc/stat").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(statFd, 0);
    unsigned long long step = 1;
    auto writeStat = [&] {
        char text[256];
        const int n = std::snprintf(text, sizeof text,
                                    "cpu  %012llu 0 %012llu %012llu 0 0 0 0 0 0\n"
                                    "cpu0 1 0 1 1 0 0 0 0 0 0\nintr %012llu 0 0\nctxt %012llu\n",
                                    100 * step, 50 * step, 850 * step, 1000 * step, 2000 * step);
        ASSERT_EQ(pwrite(statFd, text, n, 0), n);
        ++step;
    };
    writeStat();
    setenv("VELMAR_PLATFORM_ROOT", root.c_str(), 1);

    Export e = run(4.5, writeStat);
    close(statFd);
    for (const char* sensor : {"CPU", "Memory", "Load", "Network", "Diskstat", "Netstat"}) {
        ASSERT_EQ(e.records.count(sensor), 1u) << sensor;
    }
    EXPECT_TRUE(e.clean);
    EXPECT_TRUE(e.badSets.empty()) << e.badSets[0];

    // CPU: no record from the first sample, then the known shares.
    const auto& cpu = e.records.at("CPU");
    ASSERT_GE(cpu.size(), 1u);
    for (Record r : cpu) {
        EXPECT_EQ(r["node"], "e2enode");
        EXPECT_EQ(r["cpu_user"], "1000");
        EXPECT_EQ(r["cpu_nice"], "0");
        EXPECT_EQ(r["cpu_system"], "500");
        EXPECT_EQ(r["cpu_idle"], "8500");
        for (const char* zero :
             {"cpu_iowait", "cpu_hiq", "cpu_siq", "cpu_steal", "cpu_guest", "cpu_guest_nice"}) {
            EXPECT_EQ(r[zero], "0") << zero;
        }
        const unsigned long long intr = std::stoull(r["cpu_interrupts"]);
        EXPECT_GT(intr, 0u);
        EXPECT_EQ(intr % 1000, 0u);
        EXPECT_EQ(std::stoull(r["cpu_contexts"]), 2 * intr) << "totals of one read";
    }

    // The others report from their first sample on, the same every time.
    const size_t samples = e.records.at("Memory").size();
    EXPECT_GE(samples, cpu.size());
    for (Record r : e.records.at("Memory")) {
        EXPECT_EQ(r["mem_memtotal"], "32834912");
        EXPECT_EQ(r["mem_available"], "28765432");
        EXPECT_EQ(r["mem_dirty"], "724");
    }
    for (Record r : e.records.at("Load")) {
        EXPECT_EQ(r["load1"] + " " + r["load5"] + " " + r["load15"] + " " + r["jobs"],
                  "52 58 59 1123");
    }
    EXPECT_EQ(e.records.at("Network").size() % 6, 0u);
    EXPECT_EQ(e.records.at("Network")[3].at("netdev_name"), "averyveryverylonginterfacename0");
    EXPECT_EQ(e.records.at("Diskstat").size() % 5, 0u);
    EXPECT_EQ(e.records.at("Diskstat")[0].at("disk_write_sect"), "8901234");
    for (Record r : e.records.at("Netstat")) {
        EXPECT_EQ(r["ns_established"] + " " + r["ns_localconn"] + " " + r["ns_remoteconn"] + " " +
                      r["ns_remote_bytes_s"] + " " + r["ns_local_bytes_r"],
                  "7 2 3 296 42");
    }
}

TEST_F(HostSensorsE2E, ThisMachine) {
    unsigned long long memTotal = 0;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    while (meminfo >> key) {
        if (key == "MemTotal:") {
            meminfo >> memTotal;
            break;
        }
    }
    ASSERT_GT(memTotal, 0u);

    Export e = run(3.5);
    EXPECT_TRUE(e.clean);
    EXPECT_TRUE(e.badSets.empty()) << e.badSets[0];
    for (const char* sensor : {"CPU", "Memory", "Load", "Network", "Netstat"}) {
        EXPECT_GE(e.records.count(sensor), 1u) << sensor;
    }
    // Rounding each share can move the sum by at most 0.5 per share.
    for (Record r : e.records["CPU"]) {
        long sum = 0;
        for (const char* s : {"cpu_user", "cpu_nice", "cpu_system", "cpu_idle", "cpu_iowait",
                              "cpu_hiq", "cpu_siq", "cpu_steal", "cpu_guest", "cpu_guest_nice"}) {
            sum += std::atol(r[s].c_str());
        }
        EXPECT_NEAR(sum, 10000, 10);
    }
    for (Record r : e.records["Memory"]) EXPECT_EQ(std::stoull(r["mem_memtotal"]), memTotal);
}

}  // namespace
