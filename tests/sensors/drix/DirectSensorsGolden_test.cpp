// Golden samples of the seven direct statistics sensors: recorded replies
// (tests/fixtures/directstats/<request>.reply) go through the statistics
// channel and the fake relay, and the rows, decoded by each sensor's metric
// table, must read as tests/fixtures/directstats/<sensor>.rows.
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
#include "NodeSensorTestSupport.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"
#include "SensorDRIXBufMgr.h"
#include "SensorDRIXCondvar.h"
#include "SensorDRIXJZK.h"
#include "SensorDRIXMutex.h"
#include "SensorDRIXRPCS.h"
#include "SensorDRIXRPCSPeer.h"
#include "SensorDRIXWaiters.h"
#include "TallyqStub.h"
#include "stubs/StubHarness.h"

namespace {

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/directstats/";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One channel for the whole program, held throughout, so the sensors' own
// releases never end it. The fake relay answers from the fixture replies,
// copied under the request names it looks for.
class Channel : public ::testing::Environment {
  public:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        ASSERT_FALSE(dir.path().empty());
        const char* files[][2] = {{"tallyq mutex", "mutex"},     {"tallyq condvar", "condvar"},
                                  {"tallyq rpcs ns", "rpcs_ns"}, {"tallyq rpcs 1s", "rpcs_1s"},
                                  {"tallyq wt", "wt"},           {"tallyq bufmgr_s", "bufmgr_s"},
                                  {"tallyq pdisk_s", "pdisk_s"}, {"tallyq da_s", "da_s"}};
        for (auto& f : files) {
            std::ofstream(dir.path() + "/" + f[0] + ".reply", std::ios::binary)
                << readFile(FIXTURES + f[1] + ".reply");
        }
        setenv("TALLYQRELAY_DIR", dir.path().c_str(), 1);
        setenv("TALLYQRELAY_LOG", (dir.path() + "/relay.log").c_str(), 1);
        Platform::setRoot(FIXTURES + "root");
        cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQRELAY);
        cfg.getParamStore().putStr(Cfg::HOSTNAME, "goldnode");
        SensorCtrl::config = &cfg;
        ASSERT_NE(TallyqStub::getInstance(), nullptr);
    }
    void TearDown() override {
        TallyqStub::releaseInstance();
        SensorCtrl::config = nullptr;
        Platform::setRoot("");
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

TEST(DirectSensorsGolden, RecordedRepliesGiveTheExpectedRows) {
    const Golden goldens[] = {
        {"DRIXMutex", make<SensorDRIXMutex>, {}},
        {"DRIXCondvar", make<SensorDRIXCondvar>, {}},
        {"DRIXRPCS", make<SensorDRIXRPCS>, {}},
        {"DRIXRPCSPeer", make<SensorDRIXRPCSPeer>, {}},
        {"DRIXWaiters", make<SensorDRIXWaiters>, {}},
        {"DRIXBufMgr", make<SensorDRIXBufMgr>, {}},
        {"DRIXJZK", make<SensorDRIXJZK>, {"Info: Using cluster name gold.cluster"}},
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
    // Each request went to the relay once, the arrays after the disks.
    std::string requests;
    std::istringstream log(readFile(Channel::dir.path() + "/relay.log"));
    for (std::string line; std::getline(log, line);) {
        const std::size_t at = line.find(" request ");
        if (at != std::string::npos) requests += line.substr(at + 9) + ";";
    }
    EXPECT_EQ(requests,
              "tallyq mutex;tallyq condvar;tallyq rpcs ns;tallyq rpcs 1s;tallyq wt;"
              "tallyq bufmgr_s;tallyq pdisk_s;tallyq da_s;");
}

}  // namespace
