// End to end: a controller in this process runs the per-disk, per-filesystem
// and WQM statistics sensors against the fake relay and exports to the test
// collector over loopback; every sensor's rows reach the collector.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "Configuration.h"
#include "E2eSupport.h"
#include "SensorCtrl.h"
#include "SensorDefaultConfig.h"

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
    std::string text = "hostname = \"e2enode\"\ntallyq = \"" TALLYQRELAY
                       "\"\n"
                       "collectors = { host = \"127.0.0.1\" port = \"" +
                       collector.port + "\" }\nsensors = ";
    for (const auto& r : rows)
        text += std::string(r.first == rows.begin()->first ? "" : ", ") + "{ name = \"" + r.first +
                "\" period = 1 }";
    std::ofstream(dir.path() + "/sensors.cfg") << text << "\n";
    Cfg::SensorDefaultConfig defaults;
    Cfg::Configuration cfg(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                           defaults.velmarSensorStore);
    ASSERT_TRUE(cfg.loadConfigFile(dir.path() + "/sensors.cfg", nullptr));
    ASSERT_EQ(SensorCtrl::startSensorCtrl(nullptr, &cfg), 0);
    std::map<std::string, unsigned> ids;
    for (SensorCtrlBlock* b : SensorCtrl::getSensorCtrl()->sensors)
        ids[b->sensor->getName()] = b->metricsTemplate.at(0).getTemplateID();
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    SensorCtrl::terminateSensorCtrl(nullptr);

    const std::string out = collector.finish();
    std::map<unsigned, unsigned long> records;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        unsigned c, s, id, len;
        unsigned long n;
        if (sscanf(l.c_str(), "set conn=%u seq=%u id=%u length=%u records=%lu", &c, &s, &id, &len,
                   &n) == 5)
            records[id] += n;
    }
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

}  // namespace
