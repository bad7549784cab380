// Golden samples of the per-disk, per-filesystem and WQM statistics sensors:
// recorded replies (tests/fixtures/fsstats/<request>.reply) go through the
// statistics channel and the fake relay, and the rows, decoded by each
// sensor's metric table, must read as tests/fixtures/fsstats/<sensor>.rows.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Configuration.h"
#include "DirectSensorTestSupport.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "SensorCtrl.h"
#include "SensorDRIXDisk.h"
#include "SensorDRIXFilesystem.h"
#include "SensorDRIXFilesystemAPI.h"
#include "SensorDRIXPDDisk.h"
#include "SensorDRIXPoolIO.h"
#include "SensorDRIXWQM.h"
#include "SensorDRIXWQMFS.h"
#include "SensorDRIXWQMFSet.h"
#include "TallyqStub.h"
#include "stubs/StubHarness.h"

namespace {

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/fsstats/";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const char* const REQUESTS[] = {"ds", "pd_ds", "fs", "plios", "fis", "wqm", "wqm fs", "wqm fset"};

// One channel for the whole program, held throughout, so the sensors' own
// releases never end it. The fake relay answers from the fixture replies,
// copied under the request names it looks for.
class Channel : public ::testing::Environment {
  public:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        ASSERT_FALSE(dir.path().empty());
        for (const char* r : REQUESTS) {
            std::ofstream(dir.path() + "/tallyq " + r + ".reply", std::ios::binary)
                << readFile(FIXTURES + r + ".reply");
        }
        setenv("TALLYQRELAY_DIR", dir.path().c_str(), 1);
        setenv("TALLYQRELAY_LOG", (dir.path() + "/relay.log").c_str(), 1);
        cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQRELAY);
        cfg.getParamStore().putStr(Cfg::HOSTNAME, "goldnode");
        SensorCtrl::config = &cfg;
        ASSERT_NE(TallyqStub::getInstance(), nullptr);
    }
    void TearDown() override {
        TallyqStub::releaseInstance();
        SensorCtrl::config = nullptr;
    }

    static StubHarness::TempDir dir;

  private:
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
};
StubHarness::TempDir Channel::dir;
::testing::Environment* const channel = ::testing::AddGlobalTestEnvironment(new Channel);

struct Made {
    std::unique_ptr<AbstractSensor> sensor;
    std::vector<std::string>* logged;
};
template <class S>
Made make() {
    auto* probe = new NodeTest::Probe<S>();
    return {std::unique_ptr<AbstractSensor>(probe), &probe->logged()};
}

struct Golden {
    const char* sensor;
    Made (*maker)();
    std::vector<std::string> logged;  // info and error lines of the sample
};

TEST(FsStatSensorsGolden, RecordedRepliesGiveTheExpectedRows) {
    const Golden goldens[] = {
        {"DRIXDisk",
         make<SensorDRIXDisk>,
         {"Info: tallyq ds provides auto-reset/per-bucket fields (_*pb_) for min./max. queue "
          "time and wait time."}},
        {"DRIXPDDisk",
         make<SensorDRIXPDDisk>,
         {"Info: tallyq pd_ds provides auto-reset/per-bucket fields (_*pb_) for min./max. queue "
          "time and wait time."}},
        {"DRIXFilesystem",
         make<SensorDRIXFilesystem>,
         {"Warning: tallyq fs does not provide auto-reset/per-bucket fields (_*pb_) for "
          "min./max. queue time and wait time."}},
        {"DRIXPoolIO", make<SensorDRIXPoolIO>, {}},
        {"DRIXFilesystemAPI", make<SensorDRIXFilesystemAPI>, {}},
        {"DRIXWQM", make<SensorDRIXWQM>, {}},
        {"DRIXWQMFS", make<SensorDRIXWQMFS>, {}},
        {"DRIXWQMFSET", make<SensorDRIXWQMFSet>, {}},
    };
    for (const Golden& g : goldens) {
        SCOPED_TRACE(g.sensor);
        Made made = g.maker();
        ASSERT_EQ(made.sensor->init(), 0);
        const std::vector<std::string> rows =
            DirectTest::dumpRows(*made.sensor, made.sensor->getMetricData());
        std::string got;
        for (const std::string& r : rows) got += r + "\n";
        EXPECT_EQ(got, readFile(FIXTURES + g.sensor + ".rows"));
        EXPECT_EQ(*made.logged, g.logged);
        EXPECT_EQ(made.sensor->shutdown(), 0);
    }
    // Each request went to the relay once.
    std::string requests, expected;
    std::istringstream log(readFile(Channel::dir.path() + "/relay.log"));
    for (std::string line; std::getline(log, line);) {
        const std::size_t at = line.find(" request ");
        if (at != std::string::npos) requests += line.substr(at + 9) + ";";
    }
    for (const char* r : REQUESTS) expected += std::string("tallyq ") + r + ";";
    EXPECT_EQ(requests, expected);
}

}  // namespace
