// The sensor list of the controller: entries, periods, duplicates, Blaster
// mode, the singleton election through a fake repository tool, and generic
// sensors built from meta-files.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Configuration.h"
#include "DirectSensors.h"
#include "GuideTables.h"
#include "IPFIXPacket.h"
#include "LoggerBackend.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"
#include "SensorDefaultConfig.h"
#include "SensorFactory.h"
#include "stubs/StubHarness.h"

namespace {

constexpr MetricsMetadata FAKE_TABLE[] = {ROW_HEADER_NODE, ROW_HEADER_SENSOR,
                                          ROW_HEADER_METRIC_KEY};
constexpr uint32_t FAKE_COUNTS[] = {3};

class FakeSensor : public AbstractSensor {
  public:
    FakeSensor(SensorID::SensorID id, uint64_t period)
        : AbstractSensor(id, FAKE_TABLE, 3, FAKE_COUNTS, 1, period) {}
    int32_t init() override { return 0; }
    const dataSet_t* getMetricData() override { return nullptr; }
    int32_t getStatus() override { return 0; }
    int32_t shutdown() override { return 0; }
};

template <SensorID::SensorID ID, uint64_t PERIOD>
AbstractSensor* makeFake() {
    return new FakeSensor(ID, PERIOD);
}

// Names whose families this test does not link, registered with fakes.
const bool fakesRegistered = [] {
    SensorFactory::registerGenerator("DRIXQoS", makeFake<SensorID::DRIXQoS, 1000000>);
    SensorFactory::registerGenerator("DRIXDiskCap", makeFake<SensorID::DRIXDiskCap, 1000000>);
    SensorFactory::registerGenerator("Metronome", makeFake<SensorID::Metronome, 500000>);
    return true;
}();

class TestCtrl : public SensorCtrl {
  public:
    TestCtrl() = default;
};

class SensorListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fakesRegistered);
        ASSERT_FALSE(dir.path().empty());
        defaults = std::make_unique<Cfg::SensorDefaultConfig>();
        logFile = dir.path() + "/log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logFile.c_str(), true));
        Platform::setRoot(dir.path());
    }
    void TearDown() override {
        ctrl.reset();
        SensorCtrl::config = nullptr;
        cfg.reset();
        LoggerBackend::destroy();
        Platform::setRoot("");
    }

    void write(const std::string& relPath, const std::string& text) {
        const std::string path = dir.path() + "/" + relPath;
        ASSERT_TRUE(StubHarness::makeDirs(path.substr(0, path.rfind('/'))));
        std::ofstream(path) << text;
    }

    // Reads text as the daemon configuration file (after a collector entry
    // that refuses connections) and runs the sensor list on a new controller.
    void run(const std::string& text) {
        write("daemon.cfg", "collectors = {\nhost = \"127.0.0.1\"\nport = \"1\"\n}\n" + text);
        cfg = std::make_unique<Cfg::Configuration>(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                                                   defaults->velmarSensorStore);
        std::string cfgPath = dir.path() + "/daemon.cfg";
        // As -C would, unless the text names another path itself.
        cfg->getParamStore().putStr(Cfg::CONFIG, cfgPath);
        ASSERT_TRUE(cfg->loadConfigFile(cfgPath, nullptr));
        SensorCtrl::config = cfg.get();
        ctrl = std::make_unique<TestCtrl>();
        ctrl->parseSensorConfig();
    }

    // The whole log so far; flushes by restarting the backend.
    std::string log() {
        LoggerBackend::destroy();
        std::ifstream in(logFile);
        std::stringstream text;
        text << in.rdbuf();
        logText += text.str();
        std::remove(logFile.c_str());
        EXPECT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logFile.c_str(), true));
        return logText;
    }
    // True when the controller logged exactly this line at this severity.
    bool logged(const char* severity, const std::string& text) {
        char head[32];
        std::snprintf(head, sizeof head, "[%-7s] SensorCtrl: ", severity);
        return log().find(head + text + "\n") != std::string::npos;
    }
    bool loggedAnywhere(const std::string& text) { return log().find(text) != std::string::npos; }
    // Forgets what was logged so far.
    void resetLog() {
        log();
        logText.clear();
    }

    std::vector<std::string> sensorNames() const {
        std::vector<std::string> names;
        for (const SensorCtrlBlock* b : ctrl->sensors) names.push_back(b->sensor->getName());
        return names;
    }

    StubHarness::TempDir dir;
    std::unique_ptr<Cfg::SensorDefaultConfig> defaults;
    std::unique_ptr<Cfg::Configuration> cfg;
    std::unique_ptr<TestCtrl> ctrl;
    std::string logFile;
    std::string logText;
};

std::string entry(const std::string& body) { return "{\n" + body + "}"; }

// ---------------------------------------------------------------------------
// The sensors list

TEST_F(SensorListTest, BuildsConfiguredSensorsInOrderAndSkipsTheRest) {
    run("sensors = " + entry("name = \"TestSensor2\"\nperiod = 7\nfilter = \"f=x\"\n") + ",\n" +
        entry("name = \"TestSensor1\"\nperiod = 0\n") + ",\n" +
        // No period at all: switched off like period 0.
        entry("name = \"Metronome\"\n") + ",\n" + entry("name = \"NoSuchSensor\"\nperiod = 5\n") +
        ",\n" + entry("name = \"TestSensor1\"\nperiod = -3\n") + ",\n" +
        entry("name = \"TestSensor1\"\nperiod = 2\n") + ",\n" +
        // The same identity again: only the first is kept.
        entry("name = \"TestSensor2\"\nperiod = 9\n") + "\n");

    ASSERT_EQ(sensorNames(), (std::vector<std::string>{"TestSensor2", "TestSensor1"}));
    EXPECT_EQ(ctrl->sensors[0]->sensor->getPollPeriod(), 7000000u);
    EXPECT_EQ(ctrl->sensors[0]->sensor->getFilter(), "f=x");
    EXPECT_EQ(ctrl->sensors[1]->sensor->getPollPeriod(), 2000000u);
    EXPECT_EQ(ctrl->sensors[1]->sensor->getFilter(), "");

    EXPECT_TRUE(logged("Info", "Allocated sensor TestSensor2 with reporting period 7 sec"));
    EXPECT_TRUE(logged("Info", "Sensor TestSensor1 disabled: reporting period is 0"));
    EXPECT_TRUE(logged("Info", "Sensor Metronome disabled: reporting period is 0"));
    EXPECT_TRUE(logged("Error", "Unknown sensor NoSuchSensor in configuration."));
    EXPECT_TRUE(logged("Error",
                       "Please check that the sensor name is correct, or if this is a generic "
                       "sensor (protocols), make sure that the sensor configuration includes the "
                       "entry: type = \"Generic\" "));
    EXPECT_TRUE(
        logged("Warning", "Could not add sensor TestSensor2 - duplicate entry in config file?"));
}

TEST_F(SensorListTest, NoListOrAnEmptyOneGivesADaemonWithoutSensors) {
    run("sensors = " + entry("name = \"TestSensor1\"\nperiod = 0\n") + "\n");
    EXPECT_TRUE(ctrl->sensors.empty());
    EXPECT_EQ(ctrl->blasterTimeOut, 0);
}

TEST_F(SensorListTest, PeriodRulesOfGetSensorByName) {
    run("sensors = " + entry("name = \"TestSensor1\"\nperiod = 0\n") + "\n");
    struct Case {
        const char* name;
        int period;
        uint64_t pollPeriod;
        const char* line;  // expected line of that severity, if any
        const char* severity;
    } cases[] = {
        {"DRIXQoS", 5, 10000000,
         "Sensor DRIXQoS started with a smaller than the minimum allowed period, 5 secs instead "
         "of 10, using 10 instead",
         "Warning"},
        {"DRIXQoS", 10, 10000000, "Allocated sensor DRIXQoS with reporting period 10 sec", "Info"},
        {"DRIXDiskCap", 3600, 3600000000u,
         "Sensor group DRIXDiskCap, DRIXPoolCap and DRIXInodeCap started with a smaller than the "
         "recommended period, 3600 secs instead of 86400",
         "Warning"},
        {"DRIXDiskCap", 86400, 86400000000u,
         "Allocated sensor DRIXDiskCap with reporting period 86400 sec", "Info"},
        // Period 0 keeps the sensor's own default, here half a second.
        {"Metronome", 0, 500000, "Allocated sensor Metronome with *FAST_MODE* turned on", "Info"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.period));
        std::unique_ptr<AbstractSensor> s(ctrl->getSensorByName(c.name, c.period, "a=b"));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getPollPeriod(), c.pollPeriod);
        EXPECT_EQ(s->getFilter(), "a=b");
        EXPECT_TRUE(logged(c.severity, c.line));
    }
    // At 10 s and more DRIXQoS gets no warning.
    EXPECT_FALSE(loggedAnywhere("10 secs instead of 10"));
    EXPECT_FALSE(loggedAnywhere("86400 secs instead of 86400"));
}

TEST_F(SensorListTest, CephSensorsAreBuiltByName) {
    if (directSensorMakers.cephCluster == nullptr) GTEST_SKIP() << "built without Ceph sensors";
    run("sensors = " + entry("name = \"CephCluster\"\nperiod = 30\n") + ",\n" +
        entry("name = \"CephPool\"\nperiod = 60\n") + "\n");
    ASSERT_EQ(sensorNames(), (std::vector<std::string>{"CephCluster", "CephPool"}));
    EXPECT_EQ(ctrl->sensors[0]->sensor->getSensorID(), SensorID::CephCluster);
    EXPECT_EQ(ctrl->sensors[1]->sensor->getSensorID(), SensorID::CephPool);
    EXPECT_EQ(ctrl->sensors[1]->sensor->getPollPeriod(), 60000000u);
}

// ---------------------------------------------------------------------------
// Blaster mode

TEST_F(SensorListTest, BlasterModeIgnoresTheSensorList) {
    if (SensorFactory::findGenerator("Blaster") == nullptr) GTEST_SKIP() << "no Blaster";
    struct Case {
        const char* group;
        uint64_t delta;
        int64_t timeOut;
        const char* error;  // expected Error line, if any
    } cases[] = {
        {"blasterperiod = 250\n", 1000, 250, nullptr},
        {"blastertype = \"metric\"\nblasterperiod = 1\n", 1000, 1, nullptr},
        {"blastertype = \"sawtooth\"\nblasterperiod = 5\n", 1000, 5,
         "Blaster type \"sawtooth\" not supported, using metric blaster."},
        {"blastertype = \"metric\"\nblasterperiod = 0\n", 1000, 1,
         "Blaster mode: setting timeout to 1 us!"},
        {"blastertype = \"metric\"\n", 1000, 1, "Blaster mode: setting timeout to 1 us!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        resetLog();
        run("blaster = " + entry(c.group) +
            "\nsensors = " + entry("name = \"TestSensor1\"\nperiod = 1\n") + "\n");
        ASSERT_EQ(sensorNames(), std::vector<std::string>{"Blaster"});
        EXPECT_EQ(ctrl->sensors[0]->sensor->getPollPeriod(), 0u);
        EXPECT_EQ(ctrl->blasterTimeDelta, c.delta);
        EXPECT_EQ(ctrl->blasterTimeOut, c.timeOut);
        EXPECT_TRUE(logged("Warning", "Blaster mode - all other sensors are disabled!"));
        if (c.error != nullptr) {
            EXPECT_TRUE(logged("Error", c.error));
        }
    }
}

TEST_F(SensorListTest, TopProcessBlaster) {
    if (directSensorMakers.blasterTopProc == nullptr) GTEST_SKIP() << "no top-process Blaster";
    run("blaster = " + entry("blastertype = \"top-proc\"\nblasterperiod = 1000\n") + "\n");
    ASSERT_EQ(ctrl->sensors.size(), 1u);
    EXPECT_EQ(ctrl->sensors[0]->sensor->getSensorID(), SensorID::Blaster);
    EXPECT_EQ(ctrl->sensors[0]->sensor->getPollPeriod(), 0u);
    EXPECT_EQ(ctrl->blasterTimeDelta, 10000u);
    EXPECT_EQ(ctrl->blasterTimeOut, 1000);
}

// ---------------------------------------------------------------------------
// Singleton election

class ElectionTest : public SensorListTest {
  protected:
    void SetUp() override {
        SensorListTest::SetUp();
        ASSERT_TRUE(
            StubHarness::installTools(dir.path() + "/usr/vnx/qorm/bin", KVREG_STUB, {"kvreg"}));
        callLog = dir.path() + "/kvreg.calls";
        env.set("KVREG_LOG", callLog.c_str());
        env.set("KVREG_REPLY", nullptr);
        env.set("KVREG_ERROR", nullptr);
    }
    void restricted(const std::string& restrictValue, int period = 5,
                    const std::string& extra = "") {
        run(extra + "sensors = " +
            entry("name = \"TestSensor1\"\nperiod = " + std::to_string(period) + "\nrestrict = \"" +
                  restrictValue + "\"\n") +
            "\n");
    }
    std::string calls() {
        std::ifstream in(callLog);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool elected() const { return ctrl->sensors.size() == 1; }

    StubHarness::ScopedEnv env;
    std::string callLog;
};

TEST_F(ElectionTest, DecidesByTheRepositoryReplyAndTheLocalNodeName) {
    struct Case {
        const char* why;
        const char* reply;
        const char* error;     // on standard error, which joins the reply
        const char* nodeData;  // null: no node data file
        const char* hostname;  // `hostname` of the configuration
        bool elected;
        std::vector<std::string> lines;
    } cases[] = {
        {"named in the node data",
         "vget:PERF:node-a\n",
         nullptr,
         ":x:node-a:y:\n",
         "",
         true,
         {"Sensor TestSensor1 singleton node from KVR is: node-a",
          "Sensor TestSensor1 found singleton node name node-a in PKR data (at position: 2)",
          "Sensor TestSensor1 this node is elected for restrict @PERF"}},
        {"standard error joins the reply",
         "PERF:node-a",
         "vget:",
         ":node-a:",
         "",
         true,
         {"Sensor TestSensor1 singleton node from KVR is: node-a"}},
        {"a fourth piece is ignored", "vget:PERF:node-a:extra", nullptr, ":node-a:", "", true, {}},
        // Only a longer name in the data: the configured host name decides.
        {"longer name only",
         "vget:PERF:node-a",
         nullptr,
         ":node-ab:\n",
         "node-a",
         true,
         {"Sensor TestSensor1 singleton node name node-a not found in PKR data",
          "Sensor TestSensor1 comparing singleton node name with hostname from config file: "
          "node-a"}},
        {"no node data, other host",
         "vget:PERF:node-a",
         nullptr,
         nullptr,
         "node-b",
         false,
         {"Sensor TestSensor1 this node is not elected for restrict @PERF",
          "Sensor TestSensor1 disabled: reporting period is 0"}},
        // The empty piece is dropped, leaving only two.
        {"empty third piece",
         "vget::node-a",
         nullptr,
         ":node-a:",
         "",
         false,
         {"Sensor TestSensor1 could not retrieve valid singleton node from KVR output: "
          "vget::node-a"}},
        {"empty reply",
         "",
         nullptr,
         ":node-a:",
         "",
         false,
         {"Sensor TestSensor1 could not retrieve valid singleton node from KVR output: "}},
        {"blanks only",
         " \n\t ",
         nullptr,
         ":node-a:",
         "",
         false,
         {"Sensor TestSensor1 could not retrieve valid singleton node from KVR output: "}},
        {"tool error text", "kvreg: no such key", nullptr, ":node-a:", "", false, {}},
        // The system host name of a test machine is not "node-zz".
        {"nothing matches", "vget:PERF:node-zz", nullptr, ":node-a:", "", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        resetLog();
        std::remove(callLog.c_str());
        std::remove((dir.path() + "/var/qorm/gen/qormNodeData").c_str());
        if (c.nodeData != nullptr) write("var/qorm/gen/qormNodeData", c.nodeData);
        env.set("KVREG_REPLY", c.reply);
        env.set("KVREG_ERROR", c.error);
        restricted("@PERF", 5, std::string("hostname = \"") + c.hostname + "\"\n");
        EXPECT_EQ(elected(), c.elected);
        EXPECT_EQ(calls(), "vget|PERF|\n");
        for (const std::string& line : c.lines) EXPECT_TRUE(loggedAnywhere(line + "\n")) << line;
        if (c.nodeData == nullptr) {
            EXPECT_TRUE(
                logged("Error", "Sensor TestSensor1 unable to read DRIX PKR node data file " +
                                    dir.path() + "/var/qorm/gen/qormNodeData"));
        }
    }
}

// A child the tool leaves behind holding its output does not hold the
// answer: once the tool has ended, the rest of its group is ended. As the
// kernel allows and as on one that refuses to signal a group through a pidfd.
TEST_F(ElectionTest, AChildTheToolLeavesDoesNotHoldTheAnswer) {
    env.set("KVREG_REPLY", "vget:PERF:node-a");
    const std::string pids = dir.path() + "/left.pids";
    env.set("KVREG_LEAVE", pids.c_str());
    write("var/qorm/gen/qormNodeData", ":node-a:\n");
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "group pidfd signal refused" : "as the kernel allows");
        ChildProcess::refuseGroupPidfdSignal(refused);
        std::remove(pids.c_str());
        restricted("@PERF");
        EXPECT_TRUE(elected());
        pid_t left = 0;
        std::ifstream(pids) >> left;
        ASSERT_GT(left, 0);
        for (int i = 0; i < 200 && StubHarness::running(left); ++i) usleep(10000);
        EXPECT_FALSE(StubHarness::running(left));
        if (StubHarness::running(left)) kill(left, SIGKILL);
    }
    ChildProcess::refuseGroupPidfdSignal(false);
}

TEST_F(ElectionTest, RunsEvenForAnEntryThatIsSwitchedOff) {
    env.set("KVREG_REPLY", "vget:PERF:node-a");
    write("var/qorm/gen/qormNodeData", ":node-a:\n");
    restricted("@PERF", 0);
    EXPECT_EQ(calls(), "vget|PERF|\n");
    EXPECT_TRUE(ctrl->sensors.empty());
    EXPECT_TRUE(logged("Info", "Sensor TestSensor1 this node is elected for restrict @PERF"));
    EXPECT_TRUE(logged("Info", "Sensor TestSensor1 disabled: reporting period is 0"));
}

TEST_F(ElectionTest, OtherRestrictValuesAskNobody) {
    for (const char* value : {"@", "node-a", "x@PERF", ""}) {
        SCOPED_TRACE(value);
        restricted(value);
        EXPECT_TRUE(elected());
        EXPECT_EQ(calls(), "");
    }
}

TEST_F(ElectionTest, KeyNeverReachesAShellOrTheToolUnchecked) {
    const std::string marker = dir.path() + "/pwned";
    for (const std::string& key : {"PERF;touch " + marker, std::string("PERF$(id)"),
                                   std::string("a b"), std::string("-rf"), std::string("P\\x")}) {
        SCOPED_TRACE(key);
        resetLog();
        restricted("@" + key);
        EXPECT_FALSE(elected());
        EXPECT_EQ(calls(), "");
        EXPECT_TRUE(loggedAnywhere(
            "Sensor TestSensor1 restrict key is not a valid repository key (letters, digits, "
            "'.', '_' and '-' only): " +
            key + "\n"));
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);

    env.set("KVREG_REPLY", "vget:my.KEY_1-x:node-a");
    restricted("@my.KEY_1-x");
    EXPECT_EQ(calls(), "vget|my.KEY_1-x|\n");
}

TEST_F(ElectionTest, MissingToolDisablesTheSensor) {
    ASSERT_EQ(unlink((dir.path() + "/usr/vnx/qorm/bin/kvreg").c_str()), 0);
    restricted("@PERF");
    EXPECT_FALSE(elected());
    EXPECT_TRUE(logged("Error", "Sensor TestSensor1 failed to run singleton query command: " +
                                    dir.path() + "/usr/vnx/qorm/bin/kvreg vget PERF"));
}

// ---------------------------------------------------------------------------
// Generic sensors from meta-files

std::string metric(const std::string& name, const std::string& id, const std::string& type,
                   const std::string& len, const std::string& semantic) {
    std::string body;
    if (!name.empty()) body += "name = \"" + name + "\"\n";
    if (!id.empty()) body += "id = " + id + "\n";
    if (!type.empty()) body += "type = \"" + type + "\"\n";
    if (!len.empty()) body += "len = " + len + "\n";
    if (!semantic.empty()) body += "semantic = \"" + semantic + "\"\n";
    return entry(body);
}

std::string key(int pos, const std::string& elem) {
    return entry("pos = " + std::to_string(pos) + "\nelem = \"" + elem + "\"\n");
}

std::string join(const std::vector<std::string>& entries) {
    std::string out;
    for (const std::string& e : entries) out += (out.empty() ? "" : ",\n") + e;
    return out + "\n";
}

const std::string NODE = metric("node", "100", "STRING", "64", "KEYELEM");
const std::string SENSOR = metric("sensor", "101", "STRING", "36", "KEYELEM");
const std::string VOLUME = metric("volume", "7000", "STRING", "32", "KEYELEM");
const std::string READS = metric("reads", "7001", "UINT64", "8", "COUNTER");
const std::string LATENCY = metric("latency", "7002", "FP6_64", "8", "QUANTITY");
const std::string KEYS = "keyelems = " + join({key(0, "node"), key(1, "sensor"), key(2, "volume")});
const std::string PROXY = "proxy = " +
                          entry(
                              "proxyCmd = \"/opt/proxy\"\nproxyArgs = \"-x\"\n"
                              "subcmd = \"stats\"\n") +
                          "\n";

struct MetaParts {
    std::string id = "sensorID = 70\n";
    std::string proxy = PROXY;
    std::string keys = KEYS;
    std::vector<std::string> metrics = {LATENCY, VOLUME, NODE, READS, SENSOR};
    std::string text() const {
        return id + proxy + keys + (metrics.empty() ? "" : "metrics = " + join(metrics));
    }
};

class MetaFileTest : public SensorListTest {
  protected:
    void SetUp() override {
        SensorListTest::SetUp();
        if (directSensorMakers.generic == nullptr) GTEST_SKIP() << "built without generic sensors";
        metaDir = dir.path() + "/meta";
    }
    void generic(const std::string& name = "Gen", const std::string& extra = "") {
        run("metaCfgdir = \"" + metaDir + "\"\nsensors = " +
            entry("name = \"" + name + "\"\ntype = \"GeNeRiC\"\nperiod = 30\nfilter = \"a=b\"\n" +
                  extra) +
            "\n");
    }
    std::string metaPath(const std::string& name = "Gen") { return metaDir + "/" + name + ".cfg"; }

    std::string metaDir;
};

TEST_F(MetaFileTest, BuildsTheTableKeysFirstThenTheMetricKeyThenFileOrder) {
    write("meta/Gen.cfg", MetaParts().text());
    generic();
    ASSERT_EQ(ctrl->sensors.size(), 1u);
    AbstractSensor* s = ctrl->sensors[0]->sensor;
    EXPECT_EQ(s->getName(), "Gen");
    EXPECT_EQ(s->getSensorID(), 70);
    EXPECT_EQ(s->getPollPeriod(), 30000000u);
    EXPECT_EQ(s->getFilter(), "");
    EXPECT_TRUE(logged("Info", "Generic sensorName:\tGen\n\tsensorID:\t70\n\tperiod:\t30"));
    EXPECT_TRUE(logged("Info", "\tproxy cmd:/opt/proxy,args:-x and subcmd:stats"));
    EXPECT_TRUE(logged("Info", "\tkey components: node sensor volume "));
    EXPECT_TRUE(logged("Info", "\tmetrics: node sensor volume metric_key latency reads "));
    EXPECT_TRUE(logged("Info", "Allocated generic sensor Gen with reporting period 30 sec"));

    // The exported metadata rows, in network order.
    const dataSet_t* meta = s->getMetaData();
    ASSERT_EQ(meta->numSets, 6u);
    const auto* rows = reinterpret_cast<const MetricsMetadata*>(meta->data);
    EXPECT_STREQ(rows[2].metricName, "volume");
    EXPECT_EQ(ntohs(rows[2].metricLen), 32);
    EXPECT_EQ(ntohs(rows[3].metricID), METRIC_ID_METRIC_KEY);
    EXPECT_EQ(ntohs(rows[3].metricType), DT_METRIC_KEY_96);
    EXPECT_EQ(ntohs(rows[4].metricType), DT_FPMICRO_64);
    EXPECT_EQ(ntohs(rows[5].metricSemantic), SEMTYPE_TOTALCOUNTER);
}

TEST_F(MetaFileTest, ProxySettingsOfTheSensorEntryWin) {
    MetaParts parts;
    parts.proxy = "proxy = " + entry("proxyCmd = \"/opt/proxy\"\nsubcmd = \"stats\"\n") + "\n";
    write("meta/Gen.cfg", parts.text());
    generic("Gen", "proxyCmd = \"/entry/proxy\"\n");
    ASSERT_EQ(ctrl->sensors.size(), 1u);
    EXPECT_TRUE(logged("Info", "No value specified for parameter proxyArgs for sensor Gen."));
    EXPECT_TRUE(logged("Info", "\tproxy cmd:/entry/proxy,args: and subcmd:stats"));
}

TEST_F(MetaFileTest, SubCommandWithALineBreakIsRefused) {
    MetaParts parts;
    write("meta/Gen.cfg", parts.text());
    // The line break would reach the proxy as a second request.
    generic("Gen", "subcmd = \"stats\nmore\"\n");
    EXPECT_TRUE(ctrl->sensors.empty());
    EXPECT_TRUE(
        logged("Error", "Parameter subcmd of sensor Gen holds a line break, skipping sensor Gen."));
}

TEST_F(MetaFileTest, MetaFilePath) {
    // Each case names its own sensor: a repeated log line would be suppressed.
    struct Case {
        std::string settings;
        std::string name;
        std::string path;
    } cases[] = {
        {"metaCfgdir = \"/m/d\"\n", "G1", "/m/d/G1.cfg"},
        {"metaCfgdir = \"/m/d/\"\n", "G2", "/m/d/G2.cfg"},
        {"metaCfgdir = \"  /m/d/ \"\n", "G3", "/m/d/G3.cfg"},
        {"metaCfgdir = \"   \"\n", "G4", "/G4.cfg"},
        {"config = \"/etc/vel/daemon.cfg\"\n", "G5", "/etc/vel/G5.cfg"},
        {"config = \"daemon.cfg\"\n", "G6", "G6.cfg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        resetLog();
        run(c.settings + "sensors = " +
            entry("name = \"" + c.name + "\"\ntype = \"generic\"\nperiod = 1\n") + "\n");
        EXPECT_TRUE(logged("Warning", "Failed to read meta file " + c.path));
        EXPECT_TRUE(ctrl->sensors.empty());
    }
}

TEST_F(MetaFileTest, MetaFileThatCannotBeReadSkipsOnlyThatSensor) {
    write("meta/GenOk.cfg", MetaParts().text());
    ASSERT_EQ(mkdir(metaPath("GenDir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(metaPath("GenFifo").c_str(), 0600), 0);  // no writer
    ASSERT_EQ(symlink("/proc/self/mem", metaPath("GenMem").c_str()), 0);
    std::string list;
    for (const char* name : {"GenDir", "GenFifo", "GenMem", "GenOk"})
        list += (list.empty() ? "" : ",\n") +
                entry(std::string("name = \"") + name + "\"\ntype = \"generic\"\nperiod = 10\n");
    run("metaCfgdir = \"" + metaDir + "\"\nsensors = " + list + "\n");
    EXPECT_EQ(sensorNames(), std::vector<std::string>{"GenOk"});
    for (const char* name : {"GenDir", "GenFifo", "GenMem"})
        EXPECT_TRUE(logged("Warning", "Failed to read meta file " + metaPath(name))) << name;
}

TEST_F(MetaFileTest, FaultsSkipOnlyThatSensor) {
    const std::string P = metaDir + "/Gen.cfg";
    auto withMetrics = [](std::vector<std::string> m) {
        MetaParts p;
        p.metrics = std::move(m);
        return p;
    };
    std::vector<std::string> manyMetrics = {NODE, SENSOR, VOLUME};
    for (int i = 0; i < 1200; ++i)
        manyMetrics.push_back(
            metric("m" + std::to_string(i), std::to_string(8000 + i), "UINT32", "4", "QUANTITY"));

    struct Case {
        const char* why;
        MetaParts parts;
        std::vector<std::string> errors;
        std::string warning = "";
    };
    std::vector<Case> cases;
    {
        MetaParts p;
        p.id = "";
        cases.push_back({"no sensorID",
                         p,
                         {"failed to find parameter sensorID in " + P + " skipping sensor Gen"}});
    }
    for (const char* id : {"0", "88", "-1"}) {
        MetaParts p;
        p.id = std::string("sensorID = ") + id + "\n";
        cases.push_back({"sensorID out of range",
                         p,
                         {"Sensor identifier " + std::string(id) + " in " + P +
                          " is outside 1-87, skipping sensor Gen."}});
    }
    {
        MetaParts p;
        p.keys = "";
        cases.push_back(
            {"no keyelems",
             p,
             {"failed to find parameter group keyelems in " + P + ", skipping sensor Gen"}});
    }
    cases.push_back({"no metrics",
                     withMetrics({}),
                     {"failed to find parameter group metrics in " + P + ", skipping sensor Gen"}});
    {
        MetaParts p;
        p.proxy = "";
        cases.push_back(
            {"no proxy",
             p,
             {"failed to find parameter group proxy in " + P + ", skipping sensor Gen"}});
    }
    {
        MetaParts p;
        p.proxy = "proxy = " + entry("subcmd = \"stats\"\n") + "\n";
        cases.push_back(
            {"no proxyCmd",
             p,
             {"failed to find required proxyCmd parameter in " + P + ", skipping sensor Gen."}});
        p.proxy = "proxy = " + entry("proxyCmd = \"/p\"\n") + "\n";
        cases.push_back(
            {"no subcmd",
             p,
             {"failed to find required subcmd parameter in " + P + ", skipping sensor Gen."}});
    }
    cases.push_back(
        {"UINT64 of 4 bytes",
         withMetrics({NODE, SENSOR, VOLUME, metric("reads", "7001", "UINT64", "4", "COUNTER")}),
         {"Type/length mismatch: metric: reads, type: 4, length: 4, skipping sensor "
          "Gen."}});
    // Every faulty metric is reported, not only the first.
    cases.push_back(
        {"two faulty metrics",
         withMetrics({NODE, SENSOR, VOLUME, metric("reads", "7001", "INT32", "4", "COUNTER"),
                      metric("lat", "7002", "UINT32", "4", "GAUGE")}),
         {"Disallowed type INT32 for metric reads in file " + P + ", skipping sensor Gen.",
          "Disallowed semantic type GAUGE for metric lat in file " + P +
              ", skipping sensor Gen."}});
    cases.push_back(
        {"missing name, id, type",
         withMetrics({NODE, SENSOR, VOLUME, metric("", "7001", "UINT32", "4", "COUNTER"),
                      metric("a", "", "UINT32", "4", "COUNTER"),
                      metric("b", "7003", "", "4", "COUNTER")}),
         {"Missing required parameter \"name\" in metrics definition in file " + P +
              ", skipping sensor Gen.",
          "Missing required parameter  \"id\" for metric a in file " + P + ", skipping sensor Gen.",
          "Missing required parameter \"type\" for metric b in file " + P +
              ", skipping sensor Gen."}});
    cases.push_back(
        {"missing len, semantic",
         withMetrics({NODE, SENSOR, VOLUME, metric("c", "7004", "UINT32", "", "COUNTER"),
                      metric("d", "7005", "UINT32", "4", "")}),
         {"Missing required parameter \"len\" for metric c in file " + P + ", skipping sensor Gen.",
          "Missing required parameter  \"semantic\" for metric d in file " + P +
              ", skipping sensor Gen."}});
    cases.push_back({"key element rules",
                     withMetrics({metric("node", "100", "STRING", "64", "QUANTITY"),
                                  metric("sensor", "101", "UINT32", "4", "KEYELEM"), VOLUME}),
                     {"Key element node must have semantic type \"KEYELEM\", skipping sensor Gen.",
                      "Key element sensor must have type \"STRING\", skipping sensor Gen."}});
    cases.push_back(
        {"ordinary metric rules",
         withMetrics({NODE, SENSOR, VOLUME, metric("tag", "7001", "UINT32", "4", "KEYELEM"),
                      metric("label", "7002", "STRING", "8", "QUANTITY")}),
         {"Metric tag cannot have semantic type \"KEYELEM\", skipping sensor Gen.",
          "Metric label cannot have type \"STRING\", skipping sensor Gen."}});
    {
        // Position 3 of three keys is out of range: "volume" then counts as
        // an ordinary metric.
        MetaParts p = withMetrics({NODE, SENSOR, VOLUME, READS});
        p.keys = "keyelems = " + join({key(0, "node"), key(1, "sensor"), key(3, "volume")});
        cases.push_back({"key position out of range",
                         p,
                         {"Metric volume cannot have semantic type \"KEYELEM\", skipping sensor "
                          "Gen."},
                         "key spec: pos value out of range"});
    }
    // "volume" has no metric, so one ordinary metric too many.
    cases.push_back({"key element without its metric",
                     withMetrics({NODE, SENSOR, READS, LATENCY}),
                     {"Mismatch between the length of keys in \"keyelems\" and metric definitions "
                      "in \"metrics\"in file " +
                      P + ", skipping sensor Gen."}});
    cases.push_back(
        {"more keys than metrics",
         withMetrics({NODE, SENSOR}),
         {"More key elements (3) than metrics (2) in file " + P + ", skipping sensor Gen."}});
    cases.push_back(
        {"metric ids out of range",
         withMetrics({NODE, SENSOR, VOLUME, metric("a", "0", "UINT32", "4", "QUANTITY"),
                      metric("b", "32768", "UINT32", "4", "QUANTITY")}),
         {"Metric a has identifier 0 outside 1-32767 in file " + P + ", skipping sensor Gen.",
          "Metric b has identifier 32768 outside 1-32767 in file " + P +
              ", skipping sensor Gen."}});
    cases.push_back(
        {"metric ids taken",
         withMetrics({NODE, SENSOR, VOLUME, metric("a", "106", "UINT32", "4", "QUANTITY"),
                      metric("b", "7001", "UINT32", "4", "QUANTITY"),
                      metric("c", "7001", "UINT32", "4", "QUANTITY")}),
         {"Metric a uses identifier 106 of the metric key in file " + P + ", skipping sensor Gen.",
          "Metric c uses identifier 7001 of metric b in file " + P + ", skipping sensor Gen."}});
    cases.push_back({"metric name twice",
                     withMetrics({NODE, SENSOR, VOLUME, READS,
                                  metric("reads", "7009", "UINT32", "4", "QUANTITY")}),
                     {"Metric reads is defined twice in file " + P + ", skipping sensor Gen."}});
    cases.push_back(
        {"empty and long names",
         withMetrics({NODE, SENSOR, VOLUME, metric(" ", "7001", "UINT32", "4", "QUANTITY"),
                      metric(std::string(40, 'n'), "7002", "UINT32", "4", "QUANTITY")}),
         {"Metric name \"\" in file " + P + " must have 1 to 39 characters, skipping sensor Gen.",
          "Metric name \"" + std::string(40, 'n') + "\" in file " + P +
              " must have 1 to 39 characters, skipping sensor Gen."}});
    cases.push_back(
        {"string of length 0",
         withMetrics({NODE, SENSOR, metric("volume", "7000", "STRING", "0", "KEYELEM"), READS}),
         {"Metric volume has string length 0, at least 1 is required, skipping sensor "
          "Gen."}});
    // 64 + 36 + 65401 + 12 = 65513, one byte more than a data packet can carry.
    cases.push_back(
        {"row too long",
         withMetrics({NODE, SENSOR, metric("volume", "7000", "STRING", "65401", "KEYELEM")}),
         {"Rows of 65513 bytes do not fit in one IPFIX data set (at most 65512) in "
          "file " +
          P + ", skipping sensor Gen."}});
    cases.push_back({"template too big",
                     withMetrics(manyMetrics),
                     {"The template packet of 1204 metrics would exceed 65535 bytes in file " + P +
                      ", skipping sensor Gen."}});
    {
        MetaParts p;
        p.id = "sensorID = \"70\"\n";
        cases.push_back({"file the loader refuses", p, {}});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        write("meta/Gen.cfg", c.parts.text());
        resetLog();
        generic();
        EXPECT_TRUE(ctrl->sensors.empty());
        if (c.errors.empty()) {
            EXPECT_TRUE(logged("Warning", "Failed to read meta file " + P));
        }
        for (const std::string& e : c.errors) EXPECT_TRUE(logged("Error", e)) << e;
        if (!c.warning.empty()) {
            EXPECT_TRUE(logged("Warning", c.warning));
        }
        EXPECT_FALSE(loggedAnywhere("Allocated generic sensor"));
    }
}

TEST_F(MetaFileTest, LimitsAreInclusive) {
    // 64 + 36 + 65400 + 12 = 65512 bytes per row; identifier 32767.
    MetaParts wide;
    wide.metrics = {NODE, SENSOR, metric("volume", "32767", "STRING", "65400", "KEYELEM")};
    write("meta/Gen.cfg", wide.text());
    generic();
    EXPECT_EQ(ctrl->sensors.size(), 1u);

    // 1168 rows: a template packet of 76 + 56 x 1168 = 65484 bytes.
    MetaParts many;
    many.metrics = {NODE, SENSOR, VOLUME};
    for (int i = 0; i < 1164; ++i)
        many.metrics.push_back(
            metric("m" + std::to_string(i), std::to_string(8000 + i), "UINT32", "4", "QUANTITY"));
    write("meta/Gen.cfg", many.text());
    generic();
    ASSERT_EQ(ctrl->sensors.size(), 1u);
    // The check at start-up and the controller at every sample lay the
    // packet out alike: the controller's templates fill it to the last byte
    // the check allowed.
    const SensorCtrlBlock* b = ctrl->sensors[0];
    std::vector<char> packet(IPFIXPacket::PACKET_BUFFER_LEN);
    uint32_t length = 0;
    EXPECT_TRUE(IPFIXPacket::writeTemplatePacket(packet.data(), 0, 0, b->metaMetricsTemplate,
                                                 b->sensor->getMetaData()[0],
                                                 b->metricsTemplate.at(0), &length));
    EXPECT_EQ(length, 76u + 56u * 1168);

    // One metric more no longer fits.
    many.metrics.push_back(metric("m1164", "9164", "UINT32", "4", "QUANTITY"));
    write("meta/Gen.cfg", many.text());
    resetLog();
    generic();
    EXPECT_TRUE(ctrl->sensors.empty());
    const std::string refusal =
        "The template packet of 1169 metrics would exceed 65535 bytes in file " + metaPath() +
        ", skipping sensor Gen.";
    EXPECT_TRUE(logged("Error", refusal));
}

TEST_F(MetaFileTest, SecondSensorWithTheSameIdentityIsDropped) {
    write("meta/GenA.cfg", MetaParts().text());
    write("meta/GenB.cfg", MetaParts().text());
    run("metaCfgdir = \"" + metaDir +
        "\"\nsensors = " + entry("name = \"GenA\"\ntype = \"generic\"\nperiod = 10\n") + ",\n" +
        entry("name = \"GenB\"\ntype = \"generic\"\nperiod = 10\n") + "\n");
    ASSERT_EQ(sensorNames(), std::vector<std::string>{"GenA"});
    EXPECT_TRUE(
        logged("Warning", "Could not add generic sensor GenB - duplicate entry in config file?"));
}

// The guide's sensor table names every sensor the factory makes, with its
// identity and its period in the built-in sensor list; a sensor added to the
// build fails here until it is described.
TEST(OperatorGuide, SensorTableFollowsTheFactoryAndTheDefaults) {
    Cfg::SensorDefaultConfig defaults;
    std::map<std::string, std::string> period;
    const Cfg::ParamVec* list = nullptr;
    ASSERT_TRUE(defaults.velmarSensorStore.getParamStoreVec(Cfg::SENSORS, list));
    for (const Cfg::ParamValStore* entry : *list) {
        std::string name;
        int32_t p = 0;
        entry->getString(Cfg::SENSNAME, name);
        entry->getInt(Cfg::SENSPERIOD, p);
        period[name] = p == 0 ? "off" : std::to_string(p);
    }
    std::map<std::string, std::vector<std::string>> documented;
    for (const std::vector<std::string>& row : guide::tableRows("### Sensors")) {
        ASSERT_EQ(row.size(), 4u) << row[0];
        documented[row[0]] = {row[1], row[2]};
    }
    std::vector<std::string> names;
    for (const auto& generator : *SensorFactory::constructors)
        if (generator.first != "Metronome") names.push_back(generator.first);  // a fake only
    for (const char* direct : {"CephCluster", "CephPool"}) names.push_back(direct);
    for (const std::string& name : names) {
        int id = 0;
        while (id < SensorID::NUM_SENSOR_IDS && name != SensorID::sensorNames[id]) ++id;
        const std::string key = "`" + name + "`";
        EXPECT_EQ(
            documented[key],
            (std::vector<std::string>{std::to_string(id), period.count(name) ? period[name] : "–"}))
            << name;
        documented.erase(key);
    }
    EXPECT_TRUE(documented.empty())
        << documented.begin()->first << " is not a sensor of this build";
}

// Every Error and Warning format the programs write through a log call, or
// to standard error, matches a line of the guide's troubleshooting table
// (the line itself, or its family). A format is the literal at the call's
// format argument; formats kept in tables elsewhere are not seen here.
TEST(OperatorGuide, TroubleshootingTableHasEveryErrorAndWarningLine) {
    const std::vector<std::regex> rows = guide::logLinePatterns();
    // The calls, and the index of the format among their arguments.
    const std::map<std::string, int> formatArgument = {
        {"logError", 0},  {"logWarning", 0}, {"logFatalAndStop", 0}, {"failSample", 0},
        {"stderr", 0},    {"initialLog", 1}, {"logFailure", 1},      {"sendLogMsg", 1},
        {"dataError", 1}, {"fail", 3}};
    const std::regex call(
        R"(\b(logError|logWarning|logFatalAndStop|failSample|initialLog|logFailure|sendLogMsg|)"
        R"(dataError|fail)\s*\(|fprintf\s*\(\s*(stderr)\s*,)");
    const std::regex conversion(R"(%[-+ #0]*[0-9*]*(\.[0-9*]+)?(hh|h|ll|l|z|j|t)?[diouxXcsfgeE])");
    // The start line is Info; the listening socket's lines come from tests only.
    const std::string notErrors[] = {"Starting \x1f - revision \x1f-\x1f"};
    size_t checked = 0;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(VELMAR_SOURCE_DIR "/src")) {
        const std::string path = entry.path().string();
        const std::string name = path.substr(path.rfind("/src/") + 1);
        if (name == "src/util/Socket.cpp" || (name.compare(name.size() - 4, 4, ".cpp") != 0 &&
                                              name.compare(name.size() - 2, 2, ".h") != 0))
            continue;
        std::ifstream in(path);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        for (std::sregex_iterator m(text.begin(), text.end(), call), e; m != e; ++m) {
            const int wanted = formatArgument.at(m->str(1).empty() ? m->str(2) : m->str(1));
            // The adjacent literals of the format argument, C escapes read.
            std::string format;
            int argument = 0;
            for (size_t at = m->position() + m->length(), depth = 1; at < text.size() && depth > 0;
                 ++at) {
                const char c = text[at];
                if (c == '"') {
                    for (++at; text[at] != '"'; ++at) {
                        char ch = text[at];
                        if (ch == '\\') ch = text[++at] == 't' ? '\t' : text[at];
                        if (argument == wanted && !(text[at - 1] == '\\' && ch == 'n'))
                            format += ch;
                    }
                } else if (c == '\'') {
                    at += text[at + 1] == '\\' ? 3 : 2;
                } else if (c == '(') {
                    ++depth;
                } else if (c == ')') {
                    --depth;
                } else if (c == ',' && depth == 1) {
                    ++argument;
                }
            }
            format = std::regex_replace(std::regex_replace(format, conversion, "\x1f"),
                                        std::regex("%%"), "%");
            // Nothing to check in a bare "%s"; usage texts are no error lines.
            if (format.find_first_not_of("\x1f") == std::string::npos ||
                std::isspace(static_cast<unsigned char>(format[0])) ||
                format.find("sage: ") != std::string::npos ||
                std::find(std::begin(notErrors), std::end(notErrors), format) !=
                    std::end(notErrors))
                continue;
            ++checked;
            bool inGuide = false;
            for (const std::regex& r : rows) inGuide = inGuide || std::regex_match(format, r);
            const size_t line = std::count(text.begin(), text.begin() + m->position(), '\n') + 1;
            EXPECT_TRUE(inGuide) << name << ":" << line << ": "
                                 << std::regex_replace(format, std::regex("\x1f"), "%");
        }
    }
    // The sources were found and read.
    EXPECT_GT(checked, 150u);
}

}  // namespace
