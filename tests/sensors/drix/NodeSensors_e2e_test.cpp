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
using e2e::count;
using e2e::Record;

const char* const sensorNames[] = {
    "DRIXVFS",     "DRIXVFSX", "DRIXIOC",    "DRIXVIO",  "DRIXVIO64",         "DRIXNode",
    "DRIXNodeAPI", "DRIXKOVA", "DRIXvFLUSH", "DRIXCHMS", "DRIXEventProducer", "DRIXOpenFile",
};

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
    ChildProcess daemon;
    ASSERT_TRUE(e2e::startDaemon(daemon, dir.path(), collector.port,
                                 "loglevel = \"info\"\ntallyq = \"" TALLYQRELAY "\"\n",
                                 {std::begin(sensorNames), std::end(sensorNames)}));

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

    e2e::Records got = e2e::recordsBySensor(collector.finish());
    auto& records = got.bySensor;
    EXPECT_TRUE(got.clean);
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
