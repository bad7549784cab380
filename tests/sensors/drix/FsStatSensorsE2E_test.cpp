// End to end: a controller in this process runs the per-disk, per-filesystem
// and WQM statistics sensors against the fake relay and exports to the test
// collector over loopback; every sensor's rows reach the collector.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include "InProcessE2E.h"
#include "LoggerBackend.h"
#include "TallyqResponse.h"

namespace {

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/fsstats/";

TEST(FsStatSensorsE2E, EverySensorReachesTheCollector) {
    signal(SIGPIPE, SIG_IGN);
    StubHarness::TempDir dir;
    for (const char* r : {"ds", "pd_ds", "fs", "plios", "fis", "wqm", "wqm fs", "wqm fset"}) {
        std::ofstream(dir.path() + "/tallyq " + r + ".reply")
            << e2e::readFile(FIXTURES + r + ".reply");
    }
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", dir.path().c_str());

    e2e::Collector collector(dir.path() + "/collected");
    ASSERT_FALSE(collector.port.empty());
    // Sensor name and rows per sample.
    const std::map<std::string, unsigned> rows = {
        {"DRIXDisk", 3},          {"DRIXPDDisk", 3}, {"DRIXFilesystem", 2}, {"DRIXPoolIO", 3},
        {"DRIXFilesystemAPI", 2}, {"DRIXWQM", 1},    {"DRIXWQMFS", 2},      {"DRIXWQMFSET", 3}};
    std::vector<std::string> names;
    for (const auto& r : rows) names.push_back(r.first);
    e2e::InProcess controller;
    ASSERT_TRUE(controller.start(dir.path(), collector.port, names));
    std::map<std::string, unsigned> ids;
    for (SensorCtrlBlock* b : SensorCtrl::getSensorCtrl()->sensors)
        ids[b->sensor->getName()] = b->metricsTemplate.at(0).getTemplateID();
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    SensorCtrl::terminateSensorCtrl(nullptr);

    const std::string out = collector.finish();
    std::map<unsigned, unsigned long> records = e2e::recordsById(out);
    ASSERT_EQ(ids.size(), rows.size());
    for (const auto& r : rows) {
        SCOPED_TRACE(r.first);
        // At least two samples, each with all its rows.
        EXPECT_GE(records[ids[r.first]], 2 * r.second);
        EXPECT_EQ(records[ids[r.first]] % r.second, 0u);
    }
    EXPECT_NE(out.find("drix_wqm_fset_write_filter=1"), std::string::npos) << out;
    EXPECT_NE(out.find("drix_pdds_max_disk_wait_rd=200000"), std::string::npos);
    EXPECT_NE(out.find(" errors=0\n"), std::string::npos);
}

// Siblings answered alike at period 1 (records, errors, empty replies), with a
// bystander on the same channel: every sensor keeps every sample.
TEST(FsStatSensorsE2E, SiblingsAnsweredAlikeKeepEverySample) {
    signal(SIGPIPE, SIG_IGN);
    StubHarness::TempDir dir;
    const std::string relayLog = dir.path() + "/relay.log";
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", dir.path().c_str());
    env.set("TALLYQRELAY_LOG", relayLog.c_str());
    const auto reply = [&](const std::string& request, const std::string& text) {
        // Renamed into place: the relay never reads half a file.
        const std::string path = dir.path() + "/tallyq " + request + ".reply";
        std::ofstream(path + ".new") << text;
        ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
    };
    reply("vfss", e2e::readFile(FIXTURES + "../nodestats/vfss.reply"));
    const char* const wqms[] = {"wqm", "wqm fs", "wqm fset"};
    const char* const rpcs[] = {"rpcs ns", "rpcs 1s"};
    const std::string wqmRecords = e2e::readFile(FIXTURES + "wqm.reply");
    const struct {
        const char* what;
        std::string wqm, rpcs;
    } phases[] = {
        {"records", wqmRecords, e2e::readFile(FIXTURES + "../directstats/rpcs_ns.reply")},
        {"errors", "_response_ begin tallyq wqm\n_tallyq::wqm _rc_ 22\n_response_ end\n",
         "_response_ begin tallyq rpcs\n_tallyq::rpcs _rc_ 22\n_response_ end\n"},
        {"empty", "_response_ begin tallyq wqm\n_response_ end\n",
         "_response_ begin tallyq rpcs\n_response_ end\n"},
    };
    const std::vector<std::string> requests = {"vfss",    "wqm",     "wqm fs", "wqm fset",
                                               "rpcs ns", "rpcs 1s"};
    // Requests of each kind in the relay's log from offset on.
    const auto asked = [&](std::size_t from, std::map<std::string, int>& n) {
        const std::string log = e2e::readFile(relayLog);
        for (const std::string& l : e2e::lines(log.substr(std::min(from, log.size())))) {
            const std::size_t at = l.find(" request tallyq ");
            if (at != std::string::npos) ++n[l.substr(at + 16)];
        }
        return log.size();
    };
    for (const char* r : wqms) reply(r, phases[0].wqm);
    for (const char* r : rpcs) reply(r, phases[0].rpcs);
    e2e::InProcess controller;
    ASSERT_TRUE(controller.start(dir.path(), "",
                                 {"DRIXVFS", "DRIXWQM", "DRIXWQMFS", "DRIXWQMFSET", "DRIXRPCS",
                                  "DRIXRPCSPeer"}));
    // Past the first round, so that each phase counts whole periods.
    e2e::waitFor([&] { return e2e::count(e2e::readFile(relayLog), "request tallyq vfss") >= 2; },
                 30, 10);
    const int seconds = 5;
    for (const auto& phase : phases) {
        for (const char* r : wqms) reply(r, phase.wqm);
        for (const char* r : rpcs) reply(r, phase.rpcs);
        std::map<std::string, int> n;
        const std::size_t from = asked(0, n);
        n.clear();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        asked(from, n);
        // A phase's bounds cut at most one sample of each sensor.
        for (const std::string& r : requests)
            EXPECT_GE(n[r], seconds - 1) << phase.what << ": " << r;
    }
    SensorCtrl::terminateSensorCtrl(nullptr);
}

// The fixture's first record (its lines up to the second record), n times,
// with "<key> <value>" made unique in each copy.
std::string scaledReply(const std::string& fixture, const std::string& key, int n) {
    const std::size_t from = fixture.find('\n') + 1;
    const std::size_t to = fixture.find("\n_tallyq::", from) + 1;
    const std::string record = fixture.substr(from, to - from);
    const std::size_t at = record.find(" " + key + " ") + key.size() + 2;
    const std::size_t end = record.find_first_of(" \n", at);
    std::string out = fixture.substr(0, from);
    for (int i = 0; i < n; ++i)
        out += record.substr(0, at) + "n" + std::to_string(i) + record.substr(end);
    return out + "_response_ end\n";
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Replies of tens of thousands of records in the facility's own shapes are
// sampled whole; one that is too large says so once, and nothing else.
TEST(FsStatSensorsE2E, LargeRepliesAreSampledWholeAndATooLargeOneSaysSo) {
    signal(SIGPIPE, SIG_IGN);
    StubHarness::TempDir dir;
    const int disks = 20000, filesets = 5000;
    std::ofstream(dir.path() + "/tallyq ds.reply")
        << scaledReply(e2e::readFile(FIXTURES + "ds.reply"), "_d_", disks);
    std::ofstream(dir.path() + "/tallyq wqm fset.reply")
        << scaledReply(e2e::readFile(FIXTURES + "wqm fset.reply"), "_fset_", filesets);
    // Over the text bound: long values, so the text passes its bound first.
    std::string tooLarge = "_response_ begin tallyq fs\n";
    while (tooLarge.size() <= TallyqResponse::MAX_REPLY)
        tooLarge += "_tallyq::fs _fs_ f _v_ " + std::string(60000, 'v') + "\n";
    std::ofstream(dir.path() + "/tallyq fs.reply") << tooLarge << "_response_ end\n";
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", dir.path().c_str());
    const std::string logPath = dir.path() + "/daemon.log";
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logPath.c_str(), true));

    e2e::Collector collector(dir.path() + "/collected");
    ASSERT_FALSE(collector.port.empty());
    e2e::InProcess controller;
    ASSERT_TRUE(controller.start(dir.path(), collector.port,
                                 {"DRIXDisk", "DRIXWQMFSET", "DRIXFilesystem"}));
    std::map<std::string, unsigned> ids;
    for (SensorCtrlBlock* b : SensorCtrl::getSensorCtrl()->sensors)
        ids[b->sensor->getName()] = b->metricsTemplate.at(0).getTemplateID();
    // At least one whole sample each (a later one may be cut short by the
    // stop), and time for more than one sample of the too large reply.
    std::map<unsigned, unsigned long> records;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        records = e2e::recordsById(collector.soFar());
        const auto waited = std::chrono::steady_clock::now() - start;
        if (waited > std::chrono::seconds(120)) break;
        if (waited > std::chrono::seconds(3) && records[ids["DRIXDisk"]] >= disks &&
            records[ids["DRIXWQMFSET"]] >= filesets)
            break;
    }
    SensorCtrl::terminateSensorCtrl(nullptr);
    LoggerBackend::destroy();
    collector.finish();
    EXPECT_GE(records[ids["DRIXDisk"]], static_cast<unsigned long>(disks));
    EXPECT_GE(records[ids["DRIXWQMFSET"]], static_cast<unsigned long>(filesets));
    EXPECT_EQ(records[ids["DRIXFilesystem"]], 0u);
    const std::string log = e2e::readFile(logPath);
    EXPECT_EQ(countOf(log, "Reply to tallyq fs exceeds 16777216 bytes; dropped"), 1u) << log;
    EXPECT_EQ(countOf(log, "No results received"), 0u) << log;
}

// Stopped while its sensors are inside samples of many rows: a sensor that
// shuts down must leave the rows the controller may still be encoding (run
// under TSan).
TEST(FsStatSensorsE2E, StopDuringSamplesOfManyRows) {
    signal(SIGPIPE, SIG_IGN);
    StubHarness::TempDir dir;
    const int copies = 300;
    std::map<std::string, std::string> replies = {
        {"zsd_ds",
         "_response_ begin tallyq zsd_ds\n_tallyq::zsd_ds _rc_ 0 _d_ zsd1\n_r_ _ops_ 5 _b_ "
         "4096\n_response_ end\n"}};
    for (const char* r : {"ds", "pd_ds", "fs", "plios", "fis", "wqm fs", "wqm fset"})
        replies[r] = e2e::readFile(FIXTURES + r + ".reply");
    for (auto& r : replies) {
        // The records between the first and the last line, again and again.
        const std::size_t from = r.second.find('\n') + 1;
        const std::size_t to = r.second.rfind("_response_ end");
        std::string more = r.second.substr(from, to - from), rc = "_rc_ 0 ";
        more.erase(more.find(rc), rc.size());
        for (int i = 1; i < copies; ++i) r.second.insert(to, more);
        std::ofstream(dir.path() + "/tallyq " + r.first + ".reply") << r.second;
    }
    const std::string relayLog = dir.path() + "/relay.log";
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", dir.path().c_str());
    env.set("TALLYQRELAY_LOG", relayLog.c_str());
    e2e::InProcess controller;
    ASSERT_TRUE(controller.start(dir.path(), "",
                                 {"DRIXDisk", "DRIXPDDisk", "DRIXZSDDisk", "DRIXFilesystem",
                                  "DRIXPoolIO", "DRIXFilesystemAPI", "DRIXWQMFS", "DRIXWQMFSET"}));
    // The second round of requests has begun: the sensors are sampling.
    const auto requests = [&] {
        const std::string log = e2e::readFile(relayLog);
        std::size_t n = 0;
        for (std::size_t at = 0; (at = log.find("request tallyq ds", at)) != std::string::npos;
             ++at)
            ++n;
        return n;
    };
    for (int waited = 0; requests() < 2 && waited < 30000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(requests(), 2u);
    SensorCtrl::terminateSensorCtrl(nullptr);
}

}  // namespace
