// Shared set-up of the golden tests of the filesystem statistics sensors:
// one statistics channel for the whole test program over the fake relay,
// which answers from reply files, and the check of a sensor's sampled rows
// against the rows recorded for it. Test threads only; a test program
// registers one Channel as its global environment.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Configuration.h"
#include "DirectSensorTestSupport.h"
#include "NodeSensorTestSupport.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"
#include "TallyqStub.h"
#include "stubs/StubHarness.h"

namespace GoldenTest {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One channel for the whole program, held throughout, so the sensors' own
// releases never end it. The fake relay answers from the replies (request
// and fixture file) copied into dir under the request names it looks for,
// and logs to dir/relay.log; root, when given, is the platform root.
class Channel : public ::testing::Environment {
  public:
    explicit Channel(std::vector<std::pair<std::string, std::string>> replies = {},
                     std::string root = "")
        : replies(std::move(replies)), root(std::move(root)) {}
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        ASSERT_FALSE(dir.path().empty());
        for (const auto& r : replies) {
            std::ofstream(dir.path() + "/" + r.first + ".reply", std::ios::binary)
                << readFile(r.second);
        }
        setenv("TALLYQRELAY_DIR", dir.path().c_str(), 1);
        setenv("TALLYQRELAY_LOG", (dir.path() + "/relay.log").c_str(), 1);
        if (!root.empty()) Platform::setRoot(root);
        cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQRELAY);
        cfg.getParamStore().putStr(Cfg::HOSTNAME, "goldnode");
        SensorCtrl::config = &cfg;
        ASSERT_NE(TallyqStub::getInstance(), nullptr);
    }
    void TearDown() override {
        TallyqStub::releaseInstance();
        SensorCtrl::config = nullptr;
        if (!root.empty()) Platform::setRoot("");
    }

    static inline StubHarness::TempDir dir;

  private:
    std::vector<std::pair<std::string, std::string>> replies;
    std::string root;
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
};

// The requests the relay was sent, in order, each followed by ';'.
inline std::string relayRequests() {
    std::string requests;
    std::istringstream log(readFile(Channel::dir.path() + "/relay.log"));
    for (std::string line; std::getline(log, line);) {
        const std::size_t at = line.find(" request ");
        if (at != std::string::npos) requests += line.substr(at + 9) + ";";
    }
    return requests;
}

// A sensor that keeps its log lines, and those lines.
template <class Base>
struct Made {
    std::unique_ptr<Base> sensor;
    std::vector<std::string>* logged;
};
template <class S, class Base = AbstractSensor>
Made<Base> make() {
    auto* probe = new NodeTest::Probe<S>();
    return {std::unique_ptr<Base>(probe), &probe->logged()};
}

struct Rows {
    const char* sensor;
    Made<AbstractSensor> (*maker)();
    std::vector<std::string> logged;  // info and error lines of the sample
};

// One sample of each sensor: its rows, decoded by its metric table, read as
// fixtures + <sensor>.rows, and it logs what it should.
inline void expectRows(const std::string& fixtures, const std::vector<Rows>& goldens) {
    for (const Rows& g : goldens) {
        SCOPED_TRACE(g.sensor);
        Made<AbstractSensor> made = g.maker();
        ASSERT_EQ(made.sensor->init(), 0);
        const std::vector<std::string> rows =
            DirectTest::dumpRows(*made.sensor, made.sensor->getMetricData());
        std::string got;
        for (const std::string& r : rows) got += r + "\n";
        EXPECT_EQ(got, readFile(fixtures + g.sensor + ".rows"));
        EXPECT_EQ(*made.logged, g.logged);
        EXPECT_EQ(made.sensor->shutdown(), 0);
    }
}

}  // namespace GoldenTest
