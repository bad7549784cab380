// The daemon with the twelve per-node statistics sensors at period 1, the
// fake statistics relay and the test collector: the recorded VFS reply
// reaches the collector with its values, a return code that fails three
// samples is logged once and its end once, and all sensors share one relay.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "stubs/StubHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
typedef std::map<std::string, std::string> Record;

const char* const sensorNames[] = {
    "DRIXVFS",     "DRIXVFSX", "DRIXIOC",    "DRIXVIO",  "DRIXVIO64",         "DRIXNode",
    "DRIXNodeAPI", "DRIXKOVA", "DRIXvFLUSH", "DRIXCHMS", "DRIXEventProducer", "DRIXOpenFile",
};

// The key=value words of a collector record line, quotes removed.
Record words(const std::string& line) {
    Record r;
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        const size_t eq = w.find('=');
        if (eq == std::string::npos) continue;
        std::string v = w.substr(eq + 1);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        r[w.substr(0, eq)] = v;
    }
    return r;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string chmsReply(int rc) {
    return "_response_ begin tallyq chms\n_tallyq::chms_ _rc_ " + std::to_string(rc) +
           " _dch_ 11\n_response_ end\n";
}

TEST(NodeSensorsE2E, DaemonReportsThroughTheFakeRelay) {
    signal(SIGPIPE, SIG_IGN);
    StubHarness::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string replies = dir.path() + "/replies";
    ASSERT_TRUE(StubHarness::makeDirs(replies));
    std::ofstream(replies + "/tallyq vfss.reply")
        << e2e::readFile(std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/nodestats/vfss.reply");
    std::ofstream(replies + "/tallyq chms.reply") << chmsReply(5);
    const std::string relayLog = dir.path() + "/relay.log";
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", replies.c_str());
    env.set("TALLYQRELAY_LOG", relayLog.c_str());

    e2e::Collector collector(dir.path() + "/collector.out");
    ASSERT_FALSE(collector.port.empty());
    std::string cfg = "logfile = \"" + dir.path() + "/daemon.log\"\nloglevel = \"info\"\n" +
                      "daemonize = F\npiddir = \"" + dir.path() +
                      "\"\ndelay_initial_poll = F\nhostname = \"e2enode\"\ntallyq = \"" +
                      TALLYQRELAY + "\"\ncollectors = {\nhost = \"127.0.0.1\"\nport = \"" +
                      collector.port + "\"\n}\nsensors = ";
    for (const char* n : sensorNames) {
        cfg +=
            std::string(n == sensorNames[0] ? "" : ", ") + "{\nname = \"" + n + "\"\nperiod = 1\n}";
    }
    std::ofstream(dir.path() + "/daemon.cfg") << cfg << "\n";

    ChildProcess daemon;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Null;
    o.output = ChildProcess::Output::Inherit;
    o.error = ChildProcess::ErrorOutput::Inherit;
    ASSERT_TRUE(daemon.start(CVXSENSORS, {CVXSENSORS, "-C", dir.path() + "/daemon.cfg"}, o).ok());

    // Three failing samples of the cache-hit sensor, then good ones.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (count(e2e::readFile(relayLog), "replied tallyq chms") < 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ofstream(replies + "/tallyq chms.reply") << chmsReply(0);
    while (count(e2e::readFile(relayLog), "replied tallyq chms") < 6 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    daemon.signal(SIGTERM);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(10000)), 0);

    const std::string log = e2e::readFile(dir.path() + "/daemon.log");
    EXPECT_EQ(count(log, "[Error  ]"), 1u) << log;
    EXPECT_EQ(count(log, "DRIXCHMS: Error from tallyq: 5, no metrics to report \n"), 1u) << log;
    EXPECT_EQ(count(log, "[Info   ] DRIXCHMS: Resumed reporting."), 1u) << log;

    const std::string relay = e2e::readFile(relayLog);
    EXPECT_EQ(count(relay, " start "), 1u) << relay;
    // Both vdisk sensors send their request every period.
    EXPECT_GE(count(relay, "request tallyq vios\n"), 2u) << relay;

    std::map<std::string, std::vector<Record>> records;
    bool clean = false;
    for (const std::string& line : e2e::lines(collector.finish())) {
        if (line.rfind("record ", 0) == 0) {
            Record r = words(line);
            if (r.count("sensor") != 0) records[r["sensor"]].push_back(r);
        } else if (line.rfind("summary ", 0) == 0) {
            clean = line.find(" errors=0") != std::string::npos;
        }
    }
    EXPECT_TRUE(clean);
    for (const char* n : sensorNames) EXPECT_FALSE(records[n].empty()) << n;
    ASSERT_FALSE(records["DRIXVFS"].empty());
    for (Record r : records["DRIXVFS"]) {
        EXPECT_EQ(r["node"], "e2enode");
        EXPECT_EQ(r["drix_vfs_read"], "12");
        EXPECT_EQ(r["drix_vfs_read_t"], "250000");
        EXPECT_EQ(r["drix_vfs_vget"], "7");
        EXPECT_EQ(r["drix_vfs_detDentry"], "3");
        EXPECT_EQ(r["drix_vfs_write"], "0");
    }
    for (Record r : records["DRIXCHMS"]) EXPECT_EQ(r["drix_chms_dataHit"], "11");
}

}  // namespace
