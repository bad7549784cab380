// The daemon with all 28 statistics sensors at period 1 until each has sent
// 30 records (two minutes at the most), the
// fake statistics relay answering recorded replies, AdmCmdRelay running the
// repository tool stand-in, and the test collector: every group of every
// sensor reaches the collector with its template and rows (but the buffer
// manager's second group, which never has rows), one statistics relay serves
// all sensors, the repository is asked at most once a minute, and SIGTERM
// ends the daemon cleanly without leaving a relay behind.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "E2eSupport.h"
#include "SensorFactory.h"
#include "stubs/StubHarness.h"

namespace {

const char* const sensorNames[] = {
    "DRIXDisk",     "DRIXFilesystem", "DRIXZSDDisk", "DRIXPoolIO",        "DRIXVFS",
    "DRIXIOC",      "DRIXVIO",        "DRIXVIO64",   "DRIXPDDisk",        "DRIXvFLUSH",
    "DRIXMutex",    "DRIXCondvar",    "DRIXNode",    "DRIXNodeAPI",       "DRIXFilesystemAPI",
    "DRIXKOVA",     "DRIXCHMS",       "DRIXWQM",     "DRIXWQMFS",         "DRIXWQMFSET",
    "DRIXRPCS",     "DRIXRPCSPeer",   "DRIXWaiters", "DRIXEventProducer", "DRIXBufMgr",
    "DRIXOpenFile", "DRIXVFSX",       "DRIXJZK",
};

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/";

// Recorded reply files by request.
const std::pair<const char*, const char*> recorded[] = {
    {"chms", "nodestats/chms"},
    {"eps", "nodestats/eps"},
    {"iocs", "nodestats/iocs.1"},
    {"is", "nodestats/is"},
    {"kovastat", "nodestats/kovastat"},
    {"ns", "nodestats/ns"},
    {"of_s", "nodestats/of_s"},
    {"vflush_stat", "nodestats/vflush_stat"},
    {"vfss", "nodestats/vfss"},
    {"vfssx", "nodestats/vfssx"},
    {"vios", "nodestats/vios"},
    {"bufmgr_s", "directstats/bufmgr_s"},
    {"condvar", "directstats/condvar"},
    {"da_s", "directstats/da_s"},
    {"mutex", "directstats/mutex"},
    {"pdisk_s", "directstats/pdisk_s"},
    {"rpcs 1s", "directstats/rpcs_1s"},
    {"rpcs ns", "directstats/rpcs_ns"},
    {"wt", "directstats/wt"},
    {"ds", "fsstats/ds"},
    {"fis", "fsstats/fis"},
    {"fs", "fsstats/fs"},
    {"pd_ds", "fsstats/pd_ds"},
    {"plios", "fsstats/plios"},
    {"wqm", "fsstats/wqm"},
    {"wqm fs", "fsstats/wqm fs"},
    {"wqm fset", "fsstats/wqm fset"},
};

const char* const ZSD_REPLY =
    "_response_ begin tallyq zsd_ds\n"
    "_tallyq::zsd_ds _rc_ 0 _d_ zsd1\n_r_ _ops_ 5 _b_ 4096\n_w_ _ops_ 1 _b_ 512\n"
    "_tallyq::zsd_ds _d_ zsd2\n_r_ _ops_ 7 _b_ 100\n"
    "_response_ end\n";
const char* const REPOSITORY =
    "peekreg:pkrq_zsd_info:a:b:c:d:zsd1:fs1:system:\n"
    "peekreg:pkrq_zsd_info:a:b:c:d:zsd2:fs1:data:\n";

using e2e::count;

// The metric ids of one group of a sensor's table, as "id,id,...".
std::string groupIds(const AbstractSensor& s, uint32_t g) {
    const dataSet_t& meta = s.getMetaData()[g];
    const auto* m = reinterpret_cast<const MetricsMetadata*>(meta.data);
    std::string ids;
    for (uint32_t i = 0; i < meta.numSets; ++i)
        ids += (i ? "," : "") + std::to_string(ntohs(m[i].metricID));
    return ids;
}

// Processes but the collector whose parent is this process and that have
// not ended.
std::vector<std::string> liveChildren() {
    std::vector<std::string> out;
    DIR* d = opendir("/proc");
    while (struct dirent* e = d ? readdir(d) : nullptr) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string stat = e2e::readFile("/proc/" + std::string(e->d_name) + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (ppid == getpid() && state != 'Z' && stat.find("(ipfix_collect") == std::string::npos)
            out.push_back(stat.substr(0, close + 1));
    }
    if (d) closedir(d);
    return out;
}

// Template ids by their metric ids, and the records of each template, from
// the collector's output; clean once its summary reports no error.
struct Received {
    std::map<std::string, unsigned> templates;
    std::map<unsigned, unsigned long> records;
    bool clean = false;
};

Received parseCollector(const std::string& output) {
    Received r;
    for (const std::string& l : e2e::lines(output)) {
        unsigned c, s, id, n;
        if (std::sscanf(l.c_str(), "template conn=%u seq=%u id=%u", &c, &s, &id) == 3) {
            std::string ids;
            std::istringstream specs(l.substr(l.find(" specs=") + 7));
            for (std::string spec; std::getline(specs, spec, ',');)
                ids += (ids.empty() ? "" : ",") + spec.substr(0, spec.find(':'));
            r.templates[ids] = id;
        } else if (std::sscanf(l.c_str(), "record conn=%u seq=%u set=%u n=%u", &c, &s, &id, &n) ==
                   4) {
            ++r.records[id];
        } else if (l.rfind("summary ", 0) == 0) {
            r.clean = l.find(" errors=0") != std::string::npos;
        }
    }
    return r;
}

// The records a group should have sent: none for the buffer manager's second
// group, which never has rows, at least 30 for every other.
unsigned long expectedRecords(const std::string& name, uint32_t group) {
    return name == "DRIXBufMgr" && group == 1 ? 0 : 30;
}

// True once every group of every sensor has a template and the records it
// should have.
bool allGroupsReported(const Received& r) {
    for (const char* name : sensorNames) {
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(name));
        if (s == nullptr) return false;
        for (uint32_t g = 0; g < s->getNumVirtualSensors(); ++g) {
            const auto t = r.templates.find(groupIds(*s, g));
            if (t == r.templates.end()) return false;
            const auto n = r.records.find(t->second);
            if ((n == r.records.end() ? 0 : n->second) < expectedRecords(name, g)) return false;
        }
    }
    return true;
}

TEST(StatSensorsE2E, AllStatisticsSensorsUntilEachHasReported) {
    signal(SIGPIPE, SIG_IGN);
    // Relays the daemon leaves behind would become children of this process.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    StubHarness::TempDir dir;
    const std::string replies = dir.path() + "/replies";
    const std::string root = dir.path() + "/root";
    ASSERT_TRUE(StubHarness::makeDirs(replies));
    ASSERT_TRUE(StubHarness::makeDirs(root + "/var/qorm/gen"));
    std::ofstream(root + "/var/qorm/gen/qorm.cfg") << "clusterName e2e.cluster\n";
    ASSERT_TRUE(StubHarness::installTools(root + "/usr/vnx/qorm/bin", KVREG, {"peekreg"}));
    for (const auto& r : recorded) {
        std::ofstream(replies + "/tallyq " + r.first + ".reply")
            << e2e::readFile(FIXTURES + r.second + ".reply");
    }
    std::ofstream(replies + "/tallyq zsd_ds.reply") << ZSD_REPLY;
    const std::string relayLog = dir.path() + "/relay.log";
    const std::string repoLog = dir.path() + "/peekreg.log";
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", replies.c_str());
    env.set("TALLYQRELAY_LOG", relayLog.c_str());
    env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    env.set("KVREG_REPLY", REPOSITORY);
    env.set("KVREG_LOG", repoLog.c_str());

    e2e::Collector collector(dir.path() + "/collector.out");
    ASSERT_FALSE(collector.port.empty());
    ChildProcess daemon;
    ASSERT_TRUE(e2e::startDaemon(daemon, dir.path(), collector.port,
                                 "loglevel = \"info\"\ntallyq = \"" TALLYQRELAY
                                 "\"\nadmcmd = \"" ADMCMDRELAY "\"\n",
                                 {std::begin(sensorNames), std::end(sensorNames)}));
    // Sensors are never quicker than their period: 30 records take 30 s at
    // least; the bound leaves room for a loaded machine.
    e2e::waitFor([&] { return allGroupsReported(parseCollector(collector.soFar())); }, 120, 250);
    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(20000)), 0);
    // The relays end at the end of their input, or were ended.
    e2e::waitFor([] { return liveChildren().empty(); }, 10, 250);
    EXPECT_EQ(liveChildren(), std::vector<std::string>{});

    const std::string relay = e2e::readFile(relayLog);
    const std::size_t starts = count(relay, " start ");
    EXPECT_GE(starts, 1u) << relay;
    EXPECT_LE(starts, 2u) << relay;
    const std::size_t asked = count(e2e::readFile(repoLog), "pkrq_zsd_info|");
    EXPECT_GE(asked, 1u);
    EXPECT_LE(asked, 2u);  // at start, and once 61 s later at the most

    Received got = parseCollector(collector.finish());
    EXPECT_TRUE(got.clean);
    for (const char* name : sensorNames) {
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(name));
        ASSERT_NE(s, nullptr) << name;
        for (uint32_t g = 0; g < s->getNumVirtualSensors(); ++g) {
            SCOPED_TRACE(std::string(name) + " group " + std::to_string(g));
            const auto t = got.templates.find(groupIds(*s, g));
            ASSERT_NE(t, got.templates.end()) << "no template";
            if (expectedRecords(name, g) == 0)
                EXPECT_EQ(got.records[t->second], 0u);
            else
                EXPECT_GE(got.records[t->second], expectedRecords(name, g));
        }
    }
}

}  // namespace
