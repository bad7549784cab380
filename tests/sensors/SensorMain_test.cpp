// Reading the daemon configuration and reloading it on the main thread while
// a controller runs. The whole program (signals, PID file, exit codes) is
// tested end to end in cvxsensors_e2e_test.cpp.
#include "SensorMain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "Configuration.h"
#include "LoggerBackend.h"
#include "LoggerStub.h"
#include "ParamNames.h"
#include "SensorCtrl.h"
#include "stubs/StubHarness.h"

namespace {

using LogNameSpace::ErrorSeverity;

TEST(SensorMainLogLevel, MapsOnlyTheExactLowerCaseWords) {
    const std::pair<const char*, ErrorSeverity> cases[] = {
        {"error", LogNameSpace::esError},   {"warning", LogNameSpace::esWarning},
        {"info", LogNameSpace::esInfo},     {"debug", LogNameSpace::esDebug},
        {"Warning", LogNameSpace::esDebug},  // the comparison is exact
        {"", LogNameSpace::esDebug},        {"error ", LogNameSpace::esDebug},
    };
    for (const auto& c : cases) EXPECT_EQ(SensorMain::mapLogLevel(c.first), c.second) << c.first;
}

class SensorMainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        cfgPath = dir.path() + "/daemon.cfg";
        logFile = dir.path() + "/log";
    }
    void TearDown() override {
        SensorCtrl::terminateSensorCtrl(logger.get());
        SensorMain::myLogger = nullptr;
        logger.reset();
        LoggerBackend::destroy();
        delete SensorMain::config;
        SensorMain::config = nullptr;
        SensorCtrl::config = nullptr;
        AbstractSensor::monRemoteFs.store(true);
    }

    void writeConfig(const std::string& text) {
        std::ofstream(cfgPath) << "collectors = {\nhost = \"127.0.0.1\"\nport = \"1\"\n}\n"
                                  "sensors = {\nname = \"CPU\"\nperiod = 0\n}\n"
                               << text;
    }
    bool init(std::vector<std::string> extraArgs = {}) {
        std::vector<std::string> args = {"cvxsensors", "-C", cfgPath};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        return SensorMain::initConfig(static_cast<int>(args.size()), argv.data());
    }
    std::string value(const char* key) {
        std::string v;
        SensorMain::config->getParamStore().getString(key, v);
        return v;
    }
    // Starts the backend at the configured level and a controller with no
    // sensors, as main and start would.
    void run() {
        ASSERT_TRUE(LoggerBackend::createAndInitLogger(
            SensorMain::mapLogLevel(value(Cfg::LOGLEVEL)), logFile.c_str(), true));
        logger = std::make_unique<LoggerStub>("Main");
        SensorMain::myLogger = logger.get();
        ASSERT_EQ(SensorCtrl::startSensorCtrl(logger.get(), SensorMain::config), 0);
    }
    ErrorSeverity threshold() { return LoggerBackend::getInstance()->getSeverityThreshold(); }
    std::string log() {
        std::ifstream in(logFile);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    StubHarness::TempDir dir;
    std::string cfgPath;
    std::string logFile;
    std::unique_ptr<LoggerStub> logger;
};

TEST_F(SensorMainTest, OptionsOverrideTheFileAndSetTheRemoteFilesystemFlag) {
    writeConfig("loglevel = \"warning\"\nmonremotefs = F\n");
    ASSERT_TRUE(init({"-V", "error"}));
    EXPECT_EQ(value(Cfg::LOGLEVEL), "error");
    EXPECT_EQ(value(Cfg::CONFIG), cfgPath);
    EXPECT_FALSE(AbstractSensor::monRemoteFs.load());

    writeConfig("");
    ASSERT_TRUE(init());
    EXPECT_TRUE(AbstractSensor::monRemoteFs.load());
}

TEST_F(SensorMainTest, UnusableConfigurations) {
    EXPECT_FALSE(init());  // no file yet
    writeConfig("collectors = {\nhost = \"\"\n}, {\nport = \"4739\"\n}\n");
    EXPECT_FALSE(init());
    writeConfig("");
    EXPECT_FALSE(init({"-Z"}));
    EXPECT_TRUE(init());
}

TEST_F(SensorMainTest, ReloadAppliesTheLogLevelAndKeepsItWhenTheFileIsSilent) {
    writeConfig("loglevel = \"info\"\n");
    ASSERT_TRUE(init());
    run();
    EXPECT_EQ(threshold(), LogNameSpace::esInfo);

    writeConfig("loglevel = \"error\"\n");
    EXPECT_TRUE(SensorMain::updateConfig());
    EXPECT_EQ(threshold(), LogNameSpace::esError);
    // The configuration the other threads read is never written.
    EXPECT_EQ(value(Cfg::LOGLEVEL), "info");

    // A file without `loglevel` keeps what the last reload applied.
    writeConfig("");
    EXPECT_TRUE(SensorMain::updateConfig());
    EXPECT_EQ(threshold(), LogNameSpace::esError);

    writeConfig("loglevel = \"info\"\n");
    EXPECT_TRUE(SensorMain::updateConfig());
    EXPECT_EQ(threshold(), LogNameSpace::esInfo);

    // A file that does not parse, or has gone, changes nothing.
    writeConfig("loglevel = \"error\"\nsensors = = 1\n");
    EXPECT_FALSE(SensorMain::updateConfig());
    EXPECT_EQ(threshold(), LogNameSpace::esInfo);
    ASSERT_EQ(std::remove(cfgPath.c_str()), 0);
    EXPECT_FALSE(SensorMain::updateConfig());
    EXPECT_EQ(threshold(), LogNameSpace::esInfo);
    LoggerBackend::destroy();
    const std::string text = log();
    EXPECT_NE(text.find("] Main: updateConfig: Change the log level to 'error'.\n"),
              std::string::npos);
    EXPECT_NE(text.find("] Main: updateConfig: config file does not exist.\n"), std::string::npos);
}

TEST_F(SensorMainTest, ReloadOfAPathThatIsNoReadableFileKeepsTheConfiguration) {
    writeConfig("loglevel = \"info\"\n");
    ASSERT_TRUE(init());
    run();
    ASSERT_EQ(std::remove(cfgPath.c_str()), 0);
    const std::pair<const char*, int (*)(const char*)> replacements[] = {
        {"a directory", [](const char* p) { return mkdir(p, 0755); }},
        {"a FIFO without a writer", [](const char* p) { return mkfifo(p, 0600); }},
        {"a file whose first read fails",
         [](const char* p) { return symlink("/proc/self/mem", p); }},
    };
    for (const auto& r : replacements) {
        SCOPED_TRACE(r.first);
        ASSERT_EQ(r.second(cfgPath.c_str()), 0);
        EXPECT_FALSE(SensorMain::updateConfig());
        EXPECT_EQ(threshold(), LogNameSpace::esInfo);
        EXPECT_EQ(value(Cfg::LOGLEVEL), "info");
        ASSERT_EQ(std::remove(cfgPath.c_str()), 0);
    }
    LoggerBackend::destroy();
    const std::string text = log();
    EXPECT_NE(text.find("] Main: Could not open configuration file " + cfgPath + " for reading.\n"),
              std::string::npos);
    EXPECT_NE(text.find("] Main: Syntax Error on or before line 1 in configuration file " +
                        cfgPath + "\n"),
              std::string::npos);
}

TEST_F(SensorMainTest, ReloadOfTheRemoteFilesystemFlag) {
    writeConfig("monremotefs = F\n");
    ASSERT_TRUE(init());
    run();
    EXPECT_FALSE(AbstractSensor::monRemoteFs.load());

    const std::pair<const char*, bool> steps[] = {
        {"monremotefs = T\n", true},
        {"monremotefs = F\n", false},
        // Silent file: the value applied last stays.
        {"", false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.first);
        writeConfig(step.first);
        EXPECT_TRUE(SensorMain::updateConfig());
        EXPECT_EQ(AbstractSensor::monRemoteFs.load(), step.second);
    }
}

TEST_F(SensorMainTest, RemoteFilesystemFlagNeverSetMeansTrueOnEveryReload) {
    writeConfig("");
    ASSERT_TRUE(init());
    run();
    for (int i = 0; i < 2; ++i) {
        AbstractSensor::monRemoteFs.store(false);
        EXPECT_TRUE(SensorMain::updateConfig());
        EXPECT_TRUE(AbstractSensor::monRemoteFs.load());
    }
    // A reload that sets the flag adds no key to the configuration the other
    // threads read.
    writeConfig("monremotefs = F\n");
    EXPECT_TRUE(SensorMain::updateConfig());
    EXPECT_FALSE(AbstractSensor::monRemoteFs.load());
    bool flag = false;
    EXPECT_FALSE(SensorMain::config->getParamStore().getFlag(Cfg::MONREMOTEFS, flag));
    LoggerBackend::destroy();
    const std::string line =
        "] Main: updateConfig: the remote filesystem monitoring to is now set to 'true'.\n";
    const std::string text = log();
    const size_t first = text.find(line);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(line, first + 1), std::string::npos);
}

}  // namespace
