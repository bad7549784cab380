// The daemon with the capacity sensor at period 1, the real CapqRelay, the
// fake listing tools under a platform root and the test collector. The relay
// is killed mid-run: it is started again and the sensor resumes once.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CapTestSupport.h"
#include "E2eSupport.h"
#include "stubs/StubHarness.h"

namespace {

using e2e::count;
using e2e::Record;
using e2e::Stopper;
using e2e::waitFor;

// A child process as /proc tells it.
struct Child {
    std::string name;
    char state;
    long long startTicks;  // clock ticks after boot
    // A relay leads a process group of its own; a guard it forked, adopted
    // by the daemon once the relay is killed, bears its name too.
    bool leadsGroup;
};

// Children of `parent` by pid, from /proc.
std::map<int, Child> childrenOf(int parent) {
    std::map<int, Child> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string stat = e2e::readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        // After the name: state, ppid, then 17 fields up to the start time.
        std::istringstream rest(stat.substr(close + 1));
        Child c{stat.substr(open + 1, close - open - 1), 0, 0, false};
        int ppid = 0, pgrp = 0;
        std::string skip;
        rest >> c.state >> ppid >> pgrp;
        c.leadsGroup = pgrp == pid;
        for (int f = 0; f < 16; ++f) rest >> skip;
        rest >> c.startTicks;
        if (rest && ppid == parent) out[pid] = c;
    }
    closedir(d);
    return out;
}

// Kills a relay, child of the daemon `parent`, and adds to `adopted` the
// processes it had forked: the daemon adopts them, and one that has not yet
// run its tool bears the relay's name and leads its group, but is no start
// of a relay. Stopped first, the relay forks nothing more before it dies.
void killRelay(int parent, int relay, std::vector<int>& adopted) {
    kill(relay, SIGSTOP);
    waitFor([&] { return childrenOf(parent)[relay].state == 'T'; }, 10);
    for (const auto& c : childrenOf(relay)) adopted.push_back(c.first);
    kill(relay, SIGKILL);
}

bool contains(const std::vector<int>& pids, int pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// Clock ticks after boot, as /proc counts a process's start.
long long bootTicks() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const long hz = sysconf(_SC_CLK_TCK);
    return ts.tv_sec * hz + ts.tv_nsec / (1000000000L / hz);
}

// The daemon's log up to its stop: replies that the stop cuts short fail
// samples after it.
std::string logBeforeStop(const std::string& dir) {
    const std::string log = e2e::readFile(dir + "/daemon.log");
    return log.substr(0, log.find("Main: Stopping sensor main"));
}

// Each case in a directory of its own, with the test collector and a
// platform root for the fake listing tools: cluster c1, the tools' canned
// outputs in canned and their log in toolLog.
class CapacityE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(dir.path().empty());
        ASSERT_FALSE(collector.port.empty());
        ASSERT_TRUE(StubHarness::makeDirs(root + "/var/qorm/gen"));
        std::ofstream(root + "/var/qorm/gen/qorm.cfg") << "clusterName c1\n";
        ASSERT_TRUE(StubHarness::makeDirs(canned));
        env.set("VELMAR_PLATFORM_ROOT", root.c_str());
        env.set("FAKECAPQ_DIR", canned.c_str());
        env.set("FAKECAPQ_LOG", toolLog.c_str());
    }
    // Installs the fake listing tool under each of names.
    bool installTools(const std::vector<std::string>& names) {
        return StubHarness::installTools(root + "/usr/vnx/qorm/bin", FAKECAPQTOOL, names);
    }

    StubHarness::TempDir dir;
    const std::string root = dir.path() + "/root";
    const std::string canned = dir.path() + "/canned";
    const std::string toolLog = dir.path() + "/tools.log";
    StubHarness::ScopedEnv env;
    e2e::Collector collector{dir.path() + "/collector.out"};
};

TEST_F(CapacityE2E, DaemonReportsThroughTheRealRelay) {
    ASSERT_TRUE(installTools({"peekreg", "iqstatus", "iqdf", "iqlsfileset", "iqlspool34",
                              "iqrepquota", "throtl", "iqlsqos"}));
    auto write = [&](const std::string& key, const CapTest::Lines& lines) {
        std::ofstream out(canned + "/" + key + ".out");
        for (const std::string& l : lines) out << l;
    };
    write("peekreg pkrq_fs_info all",
          CapTest::fsInfo({CapTest::fsRow("local", "fs1", "c1", "dfs1"),
                           CapTest::fsRow("local", "fs2", "c1", "dfs2")}));
    write("iqstatus -m c1:dfs1", CapTest::mounted());
    write("iqstatus -m c1:dfs2", CapTest::mounted());
    write("iqdf c1:dfs1 -Y", CapTest::iqdf({CapTest::disk("d1", "system", "1000"),
                                            CapTest::disk("d2", "data", "2000", "No", "Yes")},
                                           "5:6:7:8"));
    write("iqdf c1:dfs2 -Y", CapTest::iqdf({CapTest::disk("e1", "system", "300")}, "1:2:3:4"));

    ChildProcess daemon;
    ASSERT_TRUE(e2e::startDaemon(daemon, dir.path(), collector.port,
                                 "loglevel = \"info\"\ncapqcmd = \"" CAPQRELAY "\"\n",
                                 {"DRIXDiskCap"}));
    const int pid = daemon.pid();
    Stopper stopper{daemon};

    // The relay is killed while it runs the second poll's first status
    // request, which takes 500 ms: the rest of that poll finds the channel
    // closed and may not restart it within 3 s of its start, so the poll
    // has no records. A relay that a slow machine let grow older than that
    // is started again at once and the poll goes on.
    std::ofstream(canned + "/iqstatus -m c1:dfs1.sleep") << "500";
    auto runs = [&](const char* line) { return count(e2e::readFile(toolLog), line); };
    ASSERT_TRUE(waitFor([&] { return runs("iqstatus -m c1:dfs1\n") >= 2; }, 30))
        << e2e::readFile(toolLog);
    std::vector<int> adopted;
    auto relays = [&] {
        std::vector<int> pids;
        for (const auto& c : childrenOf(pid)) {
            if (c.second.name == "CapqRelay" && c.second.leadsGroup && !contains(adopted, c.first))
                pids.push_back(c.first);
        }
        return pids;
    };
    const std::vector<int> first = relays();
    ASSERT_EQ(first.size(), 1u);
    const long long firstStart = childrenOf(pid)[first[0]].startTicks;
    const long long ageAtKill = bootTicks() - firstStart;
    killRelay(pid, first[0], adopted);
    // Started again once 3 s have passed since its last start, and polled.
    const size_t before = runs("iqdf c1:dfs2 -Y\n");
    ASSERT_TRUE(waitFor([&] { return runs("iqdf c1:dfs2 -Y\n") >= before + 2; }, 30))
        << e2e::readFile(toolLog);
    const std::vector<int> second = relays();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
    const long hz = sysconf(_SC_CLK_TCK);
    // More than 2 whole seconds after the start before (ticks truncate).
    EXPECT_GE(childrenOf(pid)[second[0]].startTicks - firstStart, 2 * hz - 1);
    for (const auto& c : childrenOf(pid)) EXPECT_NE(c.second.state, 'Z') << c.second.name;

    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);
    // The relay ends with its input.
    EXPECT_TRUE(waitFor([&] { return kill(second[0], 0) != 0; }, 10));

    const std::string log = e2e::readFile(dir.path() + "/daemon.log");
    EXPECT_EQ(count(log,
                    "Sensor group DRIXDiskCap, DRIXPoolCap and DRIXInodeCap started with a "
                    "smaller than the recommended period, 1 secs instead of 86400"),
              1u)
        << log;
    // Failed once and resumed once, or, with a relay past the gap, not at all.
    const std::string beforeStop = logBeforeStop(dir.path());
    const std::size_t failed = count(beforeStop, "[Error  ] DRIXDiskCap: ");
    EXPECT_LE(failed, 1u) << log;
    EXPECT_EQ(count(beforeStop, "DRIXDiskCap: Resumed reporting."), failed) << log;
    if (ageAtKill > 3 * hz + 1) {
        EXPECT_EQ(failed, 0u) << ageAtKill << log;
    }

    const std::string tools = e2e::readFile(toolLog);
    EXPECT_EQ(count(tools, "peekreg pkrq_fs_info all\n"), 1u) << tools;
    EXPECT_GE(count(tools, "iqstatus -m c1:dfs1\n"), 2u) << tools;
    EXPECT_GE(count(tools, "iqdf c1:dfs1 -Y\n"), 2u) << tools;

    e2e::Records got = e2e::recordsBySensor(collector.finish());
    auto& records = got.bySensor;
    EXPECT_TRUE(got.clean);
    ASSERT_FALSE(records["DRIXDiskCap"].empty());
    ASSERT_FALSE(records["DRIXPoolCap"].empty());
    ASSERT_FALSE(records["DRIXInodeCap"].empty());
    // One sample: three disks, three pools of four usage types, two filesystems.
    std::map<std::string, std::string> disks;
    for (Record r : records["DRIXDiskCap"]) {
        EXPECT_EQ(r["drix_cluster_name"], "c1");
        disks[r["drix_fs_name"] + "/" + r["drix_diskpool_name"] + "/" + r["drix_disk_name"]] =
            r["drix_disk_disksize"];
    }
    EXPECT_EQ(disks,
              (std::map<std::string, std::string>{
                  {"fs1/data/d2", "2000"}, {"fs1/system/d1", "1000"}, {"fs2/system/e1", "300"}}));
    // Every sample of a filesystem holds all its pools (two of fs1, one of
    // fs2) with four usage types each. The poll the kill cut short may lack
    // fs1.
    std::map<std::string, std::size_t> pools;  // fs/pool -> records
    for (Record r : records["DRIXPoolCap"])
        ++pools[r["drix_fs_name"] + "/" + r["drix_diskpool_name"]];
    EXPECT_EQ(pools.size(), 3u);
    EXPECT_EQ(pools["fs1/data"], pools["fs1/system"]);
    for (const auto& p : pools) EXPECT_EQ(p.second % 4, 0u) << p.first;
    std::map<std::string, std::string> inodes;
    for (Record r : records["DRIXInodeCap"]) inodes[r["drix_fs_name"]] = r["drix_fs_inode_max"];
    EXPECT_EQ(inodes, (std::map<std::string, std::string>{{"fs1", "8"}, {"fs2", "4"}}));
}

// The five capacity sensors against one relay. The relay is killed twice in a
// row: each start comes at least 2 s after the one before, and every sensor
// reports again afterwards.
TEST_F(CapacityE2E, FiveSensorsShareOneRelay) {
    ASSERT_TRUE(installTools({"peekreg", "iqstatus", "iqdf", "iqlsfileset", "iqlspool34",
                              "iqrepquota", "throtl", "iqlsqos"}));
    std::ofstream(root + "/var/qorm/gen/qormNodeData") << "n1:10.0.0.1:c1:\n";
    const std::pair<const char*, CapTest::Lines> outputs[] = {
        {"peekreg pkrq_fs_info all",
         CapTest::fsInfo({CapTest::fsRow("local", "fs1", "c1", "dfs1")})},
        {"iqstatus -m c1:dfs1", CapTest::mounted()},
        {"iqdf c1:dfs1 -Y", CapTest::iqdf({CapTest::disk("d1", "system", "1000")})},
        {"iqlspool34 fs1",
         {"Storage pools in file system at '/dfs1':\n", "Name Id\n",
          "system 0 4 MB yes yes 1000 500 ( 50%) 2000 1500 ( 75%)\n"}},
        {"iqlsfileset c1:dfs1 -Y",
         {"iqlsfileset::HEADER:version:filesystemName:filesetName:isInodeSpaceOwner:maxInodes:"
          "allocInodes:freeInodes:\n",
          "iqlsfileset::0:1:dfs1:root:1:100:60:40:\n"}},
        {"iqrepquota -Y -j fs1",
         {"iqrepquota::HEADER:version:filesystemName:name:blockUsage:blockQuota:blockLimit:"
          "blockInDoubt:filesUsage:filesQuota:filesLimit:filesInDoubt:\n",
          "iqrepquota::0:1:fs1:root:11:12:13:14:15:16:17:18:\n"}},
        {"throtl fs listenabled -Y",
         {"throtl:fs:HEADER:version:qosLocalFileSystem:\n", "throtl:fs:0:1:fs1:\n"}},
        {"iqlsqos fs1 --pool all --seconds 10 -Y",  // the controller sets the QoS period to at
                                                    // least 10 s
         {"throtl:stats:HEADER:version:pool:class:fset:iops:ioql:qsdl:et:MBs:maxIOPS:maxMBS:nNodes:"
          "\n",
          "throtl:stats:0:1:system:other:root:1:2:3:4:5:6:7:8:\n"}},
    };
    for (const auto& o : outputs) {
        std::ofstream out(canned + "/" + o.first + ".out");
        for (const std::string& l : o.second) out << l;
    }

    const char* const names[] = {"DRIXDiskCap", "DRIXPool", "DRIXFileset", "DRIXQoS",
                                 "DRIXFilesetQuota"};
    ChildProcess daemon;
    ASSERT_TRUE(e2e::startDaemon(daemon, dir.path(), collector.port,
                                 "loglevel = \"info\"\ncapqcmd = \"" CAPQRELAY "\"\n",
                                 {std::begin(names), std::end(names)}));
    const int pid = daemon.pid();
    Stopper stopper{daemon};
    auto runs = [&](const char* line) { return count(e2e::readFile(toolLog), line); };
    ASSERT_TRUE(waitFor(
        [&] {
            return runs("iqlsqos fs1 --pool all --seconds 10 -Y\n") >= 1 &&
                   runs("iqdf c1:dfs1 -Y\n") >= 2;
        },
        60))
        << e2e::readFile(toolLog) << e2e::readFile(dir.path() + "/daemon.log");

    // Every start of a relay, as first seen.
    std::vector<std::pair<int, long long>> starts;  // pid, start time in ticks
    std::vector<int> adopted;
    auto watch = [&] {
        for (const auto& c : childrenOf(pid)) {
            if (c.second.name != "CapqRelay" || !c.second.leadsGroup || c.second.state == 'Z' ||
                contains(adopted, c.first))
                continue;
            bool known = false;
            for (const auto& s : starts) known = known || s.first == c.first;
            if (!known) starts.emplace_back(c.first, c.second.startTicks);
        }
        return starts.size();
    };
    ASSERT_EQ(watch(), 1u);  // one relay serves all five
    for (int kill2 = 0; kill2 < 2; ++kill2) {
        killRelay(pid, starts.back().first, adopted);
        const std::size_t seen = starts.size();
        ASSERT_TRUE(waitFor([&] { return watch() > seen; }, 30));
    }
    const std::size_t tail = e2e::readFile(toolLog).size();
    const char* const tools[] = {"iqdf ", "iqlspool34 ", "iqlsfileset ", "iqrepquota ", "iqlsqos "};
    ASSERT_TRUE(waitFor(
        [&] {
            const std::string after = e2e::readFile(toolLog).substr(tail);
            for (const char* t : tools)
                if (count(after, t) < (std::strcmp(t, "iqlsqos ") == 0 ? 1 : 2)) return false;
            return true;
        },
        60))
        << e2e::readFile(toolLog) << e2e::readFile(dir.path() + "/daemon.log");
    watch();
    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);
    ASSERT_EQ(starts.size(), 3u);
    for (std::size_t i = 1; i < starts.size(); ++i) {
        // More than 2 whole seconds after the start before (ticks truncate).
        EXPECT_GE(starts[i].second - starts[i - 1].second, 2 * sysconf(_SC_CLK_TCK) - 1) << i;
    }
    for (const auto& s : starts) EXPECT_TRUE(waitFor([&] { return kill(s.first, 0) != 0; }, 10));

    // A sensor that failed has resumed after its last failure.
    const std::string log = logBeforeStop(dir.path());
    for (const char* n : names) {
        const std::size_t failed = log.rfind(std::string("[Error  ] ") + n + ":");
        const std::size_t resumed =
            log.rfind(std::string("[Info   ] ") + n + ": Resumed reporting.");
        if (failed != std::string::npos) {
            EXPECT_TRUE(resumed != std::string::npos && resumed > failed) << n << log;
        }
    }

    e2e::Records got = e2e::recordsBySensor(collector.finish());
    auto& records = got.bySensor;
    EXPECT_TRUE(got.clean);
    const struct {
        const char* sensor;
        const char* metric;
        const char* value;
    } expected[] = {
        {"DRIXDiskCap", "drix_disk_disksize", "1000"},
        {"DRIXPoolCap", "drix_disk_usage_name", "dataAndMetadata"},
        {"DRIXInodeCap", "drix_fs_inode_max", "8"},
        {"DRIXPool", "drix_pool_free_metaKB", "1500"},
        {"DRIXFileset", "drix_fset_freeInodes", "40"},
        {"DRIXQoS", "drix_qos_nnodes", "8"},
        {"DRIXFilesetQuota", "drix_rq_file_in_doubt", "18"},
    };
    for (const auto& e : expected) {
        ASSERT_FALSE(records[e.sensor].empty()) << e.sensor;
        EXPECT_EQ(records[e.sensor].front()[e.metric], e.value) << e.sensor;
        EXPECT_EQ(records[e.sensor].front()["drix_cluster_name"], "c1") << e.sensor;
    }
}

// The daemon at period 1 with the named sensors, the three relays and the
// fake tools under dir, reporting to collector.
bool startDaemon(ChildProcess& daemon, const std::string& dir, const e2e::Collector& collector,
                 const std::vector<std::string>& sensors) {
    return e2e::startDaemon(daemon, dir, collector.port,
                            "capqcmd = \"" CAPQRELAY "\"\nadmcmd = \"" ADMCMDRELAY
                            "\"\ntallyq = \"" TALLYQRELAY "\"\n",
                            sensors);
}

// Points standard error at a new file while it lives: a child started
// meanwhile keeps writing its own there.
struct StderrTo {
    explicit StderrTo(const std::string& path) : saved(dup(2)) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2), close(fd);
    }
    ~StderrTo() { dup2(saved, 2), close(saved); }
    const int saved;
};

// The daemon is stopped while the capacity sensor and the ZSD disk sensor
// each wait for a listing tool that hangs, with a child, and ignores SIGTERM;
// or just after a capacity poll of tools that take 200 ms each has begun (the
// rest of the poll would take 1.6 s); or while both relays, a generic proxy
// and the Ceph relay sit idle beside a collector that has stopped reading; or
// while the proxy and the Ceph relay are each inside a request they take
// long to answer, with or without a child that ignores SIGTERM and holds
// their output. Soon after the daemon has exited, no relay, proxy or tool
// runs; a stop that finds no hung process is quick; and the exchanges the
// stop cut off leave no error in the log or on standard error. Each row runs
// as the kernel allows and as on one that refuses to signal a group through
// a pidfd (before Linux 6.9).
TEST_F(CapacityE2E, AStopEndsHungToolsAndTheirRelays) {
    ASSERT_TRUE(installTools({"peekreg", "iqstatus", "iqdf"}));
    // Four filesystems whose mount checks and listings take 200 ms each,
    // polled in the rows whose filesystem list names them.
    auto answer = [&](const std::string& key, const CapTest::Lines& lines) {
        std::ofstream out(canned + "/" + key + ".out");
        for (const std::string& l : lines) out << l;
        std::ofstream(canned + "/" + key + ".sleep") << "200";
    };
    CapTest::Lines fsRows;
    for (const std::string fs : {"1", "2", "3", "4"}) {
        fsRows.push_back(CapTest::fsRow("local", "fs" + fs, "c1", "dfs" + fs));
        answer("iqstatus -m c1:dfs" + fs, CapTest::mounted());
        answer("iqdf c1:dfs" + fs + " -Y", CapTest::iqdf({CapTest::disk("d1", "system", "9")}));
    }
    std::ofstream(dir.path() + "/tallyq zsd_ds.reply")
        << "_response_ begin tallyq zsd_ds\n_tallyq::zsd_ds _rc_ 0 _d_ zsd1\n_response_ end\n";
    env.set("TALLYQRELAY_DIR", dir.path().c_str());
    const std::string proxyLog = dir.path() + "/proxy.log";
    const std::string cephLog = dir.path() + "/ceph.log";
    env.set("CEPHRELAY_LOG", cephLog.c_str());
    const char* const keys[] = {
        "peekreg pkrq_fs_info all",
        "peekreg pkrq_zsd_info pkrq_zsd_name:pkrq_fs_name:pkrq_storage_pool"};
    bool refusedRuns[] = {false, true};
#ifdef __SANITIZE_THREAD__
    // The refusal is preloaded, which ThreadSanitizer does not support.
    refusedRuns[1] = false;
#endif
    enum Mode { Hung, Answering, Plain, InRequest, OutputHeld };
    for (const bool refused : refusedRuns) {
        for (const Mode mode :
             {Hung, Answering, Answering, Answering, Plain, InRequest, OutputHeld}) {
            const bool hung = mode == Hung;
            const bool inRequest = mode == InRequest || mode == OutputHeld;
            const char* const names[] = {"hung tools", "poll under way", "plain",
                                         "proxy and Ceph relay in a request",
                                         "their output held by a child"};
            const std::string what = std::string(names[mode]) + (refused ? ", refused" : "");
            SCOPED_TRACE(what);
            for (const char* key : keys) {
                for (const char* part : {".sleep", ".fork", ".noterm", ".out"}) {
                    unlink((canned + "/" + key + part).c_str());
                    if (hung && part[1] != 'o')
                        std::ofstream(canned + "/" + key + part) << "600000";
                }
            }
            if (mode == Answering) answer(keys[0], CapTest::fsInfo(fsRows));
            unlink(proxyLog.c_str());
            unlink(cephLog.c_str());
            std::ofstream(dir.path() + "/GenX.cfg") << StubHarness::genericMetaText(
                FAKEPROXY, "--log=" + proxyLog + (mode == OutputHeld ? ";--spawn=deaf" : ""),
                inRequest ? "pause 600000" : "stats");
            env.set("CEPHRELAY_MODE", inRequest ? "silent" : nullptr);
            env.set("CEPHRELAY_SPAWN", mode == OutputHeld ? "deaf" : nullptr);
            const std::string pidFile = dir.path() + "/pids";
            unlink(pidFile.c_str());
            env.set("FAKECAPQ_PIDS", pidFile.c_str());
            if (refused) {
                env.preload(FAILSYS);
                env.set("VELMAR_REFUSE_PIDFD_GROUP", "1");
            }
            e2e::Collector stalled(dir.path() + "/stalled.out", {"-s", "1"});
            const std::string settings = "capqcmd = \"" CAPQRELAY "\"\nadmcmd = \"" ADMCMDRELAY
                                         "\"\ntallyq = \"" TALLYQRELAY
                                         "\"\ncephRados = \"" CEPHRELAY "\"\nmetaCfgdir = \"" +
                                         dir.path() + "\"\n";
            const std::string errFile = dir.path() + "/stderr";
            unlink(toolLog.c_str());
            ChildProcess daemon;
            {
                StderrTo daemonStderr(errFile);
                ASSERT_TRUE(e2e::startDaemon(
                    daemon, dir.path(), mode == Plain ? stalled.port : collector.port, settings,
                    {"DRIXDiskCap", "DRIXZSDDisk", "CephCluster"},
                    ", { name = \"GenX\" type = \"Generic\" period = 1 }"));
            }
            Stopper stopper{daemon};
            std::vector<int> watched;
            if (hung) {
                // Both tools and their children hang.
                ASSERT_TRUE(waitFor([&] { return count(e2e::readFile(pidFile), "\n") >= 4; }, 30))
                    << e2e::readFile(dir.path() + "/daemon.log");
                for (const std::string& p : e2e::lines(e2e::readFile(pidFile)))
                    watched.push_back(std::stoi(p));
            } else if (mode == Answering) {
                // A poll has just begun: its first mount check has started.
                ASSERT_TRUE(waitFor(
                    [&] { return count(e2e::readFile(toolLog), "iqstatus -m c1:dfs1\n") >= 2; }, 30,
                    5))
                    << e2e::readFile(dir.path() + "/daemon.log");
            } else if (inRequest) {
                // Each has been asked, and the children that hold their
                // output are watched too.
                ASSERT_TRUE(waitFor(
                    [&] {
                        return count(e2e::readFile(proxyLog), " request pause") >= 1 &&
                               count(e2e::readFile(cephLog), " request cluster") >= 1;
                    },
                    30))
                    << e2e::readFile(dir.path() + "/daemon.log");
                for (const std::string& l :
                     e2e::lines(e2e::readFile(proxyLog) + e2e::readFile(cephLog))) {
                    const size_t at = l.find(" spawned ");
                    if (at != std::string::npos) watched.push_back(std::stoi(l.substr(at + 9)));
                }
                EXPECT_EQ(watched.size(), mode == OutputHeld ? 2u : 0u);
            } else {
                EXPECT_TRUE(waitFor(
                    [&] { return stalled.soFar().find("stopped reading") != std::string::npos; },
                    30));
            }
            // The three relays and the proxy.
            ASSERT_TRUE(waitFor(
                [&] {
                    std::vector<int> found;
                    for (const auto& c : childrenOf(daemon.pid())) {
                        if (c.second.state != 'Z' && c.second.leadsGroup &&
                            (c.second.name == "CapqRelay" || c.second.name == "AdmCmdRelay" ||
                             c.second.name == "fakeproxy" || c.second.name == "cephrelay"))
                            found.push_back(c.first);
                    }
                    if (found.size() == 4u)
                        watched.insert(watched.end(), found.begin(), found.end());
                    return found.size() == 4u;
                },
                30));

            const auto begin = std::chrono::steady_clock::now();
            daemon.signal(SIGTERM);
            EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(30000)), 0);
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            // The bound an operator would notice. Unloaded a hung tool takes
            // about its 0.5 s grace, a child that holds an output 0.3 s, and
            // the others some 30 ms; a loaded sanitizer build several times
            // that. One grace for all busy channels is the channel test's.
            EXPECT_LT(took, 3.0);
            // What the stop wrote: no Error, no Warning.
            std::string log = e2e::readFile(dir.path() + "/daemon.log");
            log.erase(0, log.rfind("Stopping sensor main"));
            EXPECT_EQ(count(log, "[Error") + count(log, "[Warning"), 0u) << log;
            EXPECT_EQ(e2e::readFile(errFile).find("error"), std::string::npos)
                << e2e::readFile(errFile);
            EXPECT_TRUE(waitFor(
                [&] {
                    for (int pid : watched)
                        if (StubHarness::running(pid)) return false;
                    return true;
                },
                5));
            for (int pid : watched) {
                EXPECT_FALSE(StubHarness::running(pid)) << pid;
                if (StubHarness::running(pid)) kill(pid, SIGKILL);
            }
        }
    }
}

// A figure of /proc/PID/status in kB ("VmRSS", "VmHWM"), or -1.
long statusKb(int pid, const std::string& field) {
    for (const std::string& l :
         e2e::lines(e2e::readFile("/proc/" + std::to_string(pid) + "/status")))
        if (l.compare(0, field.size() + 1, field + ":") == 0)
            return std::atol(l.c_str() + field.size() + 1);
    return -1;
}

// Replies that are small on the wire but large once held: the daemon's
// resident set stays bounded while it is fed them, and shrinks back after.
TEST_F(CapacityE2E, HostileRepliesStayBoundedInMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's own memory hides the daemon's";
#endif
    ASSERT_TRUE(installTools({"peekreg"}));
    const std::string relayLog = dir.path() + "/relay.log";
    env.set("TALLYQRELAY_DIR", dir.path().c_str());
    env.set("TALLYQRELAY_LOG", relayLog.c_str());

    // About 16 MB each: short distinct keys in lines under 64 KiB; record
    // headers alone.
    std::string keys, headers;
    for (int n = 0; keys.size() < 16000000; ++n) {
        keys += n % 8000 == 0 ? "\n_tallyq::vfss" : "";
        keys += " _k" + std::to_string(n);
    }
    while (headers.size() < 16000000) headers += "_tallyq::\n";
    const std::string replyFile = dir.path() + "/tallyq vfss.reply";
    const std::string flood = canned + "/peekreg pkrq_fs_info all.flood";

    ChildProcess daemon;
    ASSERT_TRUE(startDaemon(daemon, dir.path(), collector, {"DRIXDiskCap", "DRIXVFS"}));
    Stopper stopper{daemon};

    const struct {
        const std::string* statistics;  // the statistics reply; null: the stand-in's own
        const char* capacity;           // the listing tool's endless line; null: no output
    } phases[] = {{&keys, "\n"}, {&headers, "\n"}, {nullptr, nullptr}};
    for (const auto& phase : phases) {
        ::unlink(replyFile.c_str());
        ::unlink(flood.c_str());
        if (phase.statistics) std::ofstream(replyFile) << *phase.statistics;
        if (phase.capacity) std::ofstream(flood) << phase.capacity;
        // Two more queries on each channel once the files are in place.
        const size_t tools = count(e2e::readFile(toolLog), "\n");
        const size_t queries = count(e2e::readFile(relayLog), " request ");
        ASSERT_TRUE(waitFor(
            [&] {
                return count(e2e::readFile(toolLog), "\n") >= tools + 2 &&
                       count(e2e::readFile(relayLog), " request ") >= queries + 2;
            },
            30));
    }
    EXPECT_GT(statusKb(daemon.pid(), "VmHWM"), 0);
    EXPECT_LT(statusKb(daemon.pid(), "VmHWM"), 64 * 1024);
    EXPECT_LT(statusKb(daemon.pid(), "VmRSS"), 16 * 1024);
    const std::string log = e2e::readFile(dir.path() + "/daemon.log");
    EXPECT_NE(log.find("Reply to fsInfo exceeds 16777216 bytes"), std::string::npos) << log;
    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(30000)), 0);
}

}  // namespace
