#include "AbstractSensor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Configuration.h"
#include "FNV1AHash.h"
#include "LoggerBackend.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"
#include "SensorFactory.h"

namespace {

class TempDir {
  public:
    TempDir() {
        std::string tmpl = ::testing::TempDir() + "abstractsensor.XXXXXX";
        if (mkdtemp(&tmpl[0]) != nullptr) path = tmpl;
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string path;
};

// Twelve rows split 5 + 7 between two virtual sensors.
std::vector<MetricsMetadata> twelveRows() {
    std::vector<MetricsMetadata> rows;
    for (uint16_t i = 0; i < 12; ++i) {
        MetricsMetadata m;
        std::memset(&m, 0, sizeof m);
        std::snprintf(m.metricName, sizeof m.metricName, "test_metric_%u", i);
        m.metricID = static_cast<uint16_t>(10001 + i);
        m.metricType = DT_UINT_32;
        m.metricLen = 4;
        m.metricSemantic = SEMTYPE_QUANTITY;
        rows.push_back(m);
    }
    return rows;
}

class FakeSensor : public AbstractSensor {
  public:
    FakeSensor(const MetricsMetadata* table, uint32_t rows, const uint32_t* counts,
               uint32_t numVirt)
        : AbstractSensor(SensorID::DRIXNS, table, rows, counts, numVirt, 5000000) {}
    int32_t init() override { return 0; }
    const dataSet_t* getMetricData() override { return nullptr; }
    int32_t getStatus() override { return 0; }
    int32_t shutdown() override { return 0; }

    using AbstractSensor::firstRun;
    using AbstractSensor::sourceOK;
    using AbstractSensor::sourcePrevOK;
};

TEST(AbstractSensor, SplitsTheTableIntoVirtualSensors) {
    const std::vector<MetricsMetadata> table = twelveRows();
    const uint32_t counts[] = {5, 7};
    FakeSensor s(table.data(), 12, counts, 2);

    EXPECT_EQ(s.getSensorID(), SensorID::DRIXNS);
    EXPECT_EQ(s.getName(), "DRIXNode");
    EXPECT_EQ(s.getPollPeriod(), 5000000u);
    EXPECT_EQ(s.getTimerID(), 0u);
    EXPECT_EQ(s.getNumVirtualSensors(), 2u);
    EXPECT_EQ(s.getNumFields(0), 5u);
    EXPECT_EQ(s.getNumFields(1), 7u);
    EXPECT_EQ(s.getNumFields(2), 0u);

    const dataSet_t* meta = s.getMetaData();
    EXPECT_EQ(meta[0].numSets, 5u);
    EXPECT_EQ(meta[0].setLength, 48u);
    EXPECT_EQ(meta[1].numSets, 7u);
    EXPECT_EQ(meta[1].setLength, 48u);
    EXPECT_EQ(meta[1].data, meta[0].data + 5 * 48);
    EXPECT_STREQ(meta[1].data, "test_metric_5");

    const std::vector<FieldSpecifier>& defs = *s.getMetricDataDef();
    ASSERT_EQ(defs.size(), 12u);
    EXPECT_EQ(defs[0], (FieldSpecifier{10001, 4, 2}));
    EXPECT_EQ(defs[11], (FieldSpecifier{10012, 4, 2}));

    const std::vector<FieldSpecifier> metaDefs = {
        {102, 40, 2}, {2, 2, 2}, {103, 2, 2}, {104, 2, 2}, {105, 2, 2}};
    EXPECT_EQ(*s.getMetaDataDef(), metaDefs);
}

TEST(AbstractSensor, MetadataCopyIsInNetworkOrderAndTheTableUntouched) {
    const std::vector<MetricsMetadata> table = twelveRows();
    const uint32_t counts[] = {12};
    FakeSensor s(table.data(), 12, counts, 1);
    const unsigned char* row = reinterpret_cast<const unsigned char*>(s.getMetaData()[0].data);
    // metricID 10001 = 0x2711, then type 3, length 4, semantic 1.
    const unsigned char numbers[8] = {0x27, 0x11, 0, 3, 0, 4, 0, 1};
    EXPECT_EQ(std::memcmp(row + 40, numbers, 8), 0);
    const unsigned char* caller = reinterpret_cast<const unsigned char*>(&table[0]);
    EXPECT_EQ(caller[40], 0x11);
    EXPECT_EQ(caller[41], 0x27);
}

TEST(AbstractSensor, CountsBeyondTheTableAreClamped) {
    const std::vector<MetricsMetadata> table = twelveRows();
    const uint32_t counts[] = {10, 7, 4};
    FakeSensor s(table.data(), 12, counts, 3);
    EXPECT_EQ(s.getNumFields(0), 10u);
    EXPECT_EQ(s.getNumFields(1), 2u);
    EXPECT_EQ(s.getNumFields(2), 0u);
    EXPECT_EQ(s.getMetaData()[1].numSets, 2u);

    FakeSensor noTable(nullptr, 12, counts, 3);
    EXPECT_EQ(noTable.getNumFields(0), 0u);
    EXPECT_TRUE(noTable.getMetricDataDef()->empty());
    FakeSensor noCounts(table.data(), 12, nullptr, 2);
    EXPECT_EQ(noCounts.getNumFields(0), 0u);
}

TEST(AbstractSensor, SafeStrncpyCutsAndPads) {
    char buf[40];
    std::memset(buf, 'x', sizeof buf);
    AbstractSensor::safeStrncpy(buf, "0123456789012345678901234567890123456789", 36);
    EXPECT_EQ(std::strlen(buf), 35u);
    EXPECT_EQ(buf[36], 'x');

    std::memset(buf, 'x', sizeof buf);
    AbstractSensor::safeStrncpy(buf, "ab", 8);
    EXPECT_EQ(std::memcmp(buf, "ab\0\0\0\0\0\0x", 9), 0);

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(AbstractSensor::safeStrncpy(buf, "ab", 0), buf);
    EXPECT_EQ(buf[0], 'x');
}

class NodeIDTest : public ::testing::Test {
  protected:
    void TearDown() override { SensorCtrl::config = nullptr; }
    Cfg::ParamDefStore schema;
};

TEST_F(NodeIDTest, ConfiguredHostnameWinsOverTheSystemName) {
    const uint32_t counts[] = {0};
    FakeSensor s(nullptr, 0, counts, 1);

    Cfg::ParamValStore values;
    values.putStr(Cfg::HOSTNAME, "node-from-config");
    Cfg::Configuration cfg(schema, values);
    SensorCtrl::config = &cfg;
    char node[64];
    std::memset(node, 'x', sizeof node);
    const uint32_t id = s.getNodeID(node, sizeof node);
    char expect[64] = "node-from-config";
    EXPECT_EQ(std::memcmp(node, expect, 64), 0);
    EXPECT_EQ(id, FNV1AHash32(expect, 64));

    // A name of 64 characters or more keeps 63 and a NUL.
    cfg.getParamStore().putStr(Cfg::HOSTNAME, std::string(70, 'n'));
    s.getNodeID(node, sizeof node);
    EXPECT_EQ(std::string(node), std::string(63, 'n'));

    char system[64] = {};
    ASSERT_EQ(gethostname(system, sizeof system - 1), 0);
    cfg.getParamStore().putStr(Cfg::HOSTNAME, "");
    s.getNodeID(node, sizeof node);
    EXPECT_STREQ(node, system);

    SensorCtrl::config = nullptr;
    EXPECT_EQ(s.getNodeID(node, sizeof node), FNV1AHash32(system, 64));
}

class ClusterNameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        logFile = dir.path + "/log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logFile.c_str(), true));
        Platform::setRoot(dir.path);
        ASSERT_EQ(system(("mkdir -p '" + dir.path + "/var/qorm/gen'").c_str()), 0);
    }
    void TearDown() override {
        LoggerBackend::destroy();
        Platform::setRoot("");
    }
    void writeNodeConfig(const std::string& text) {
        std::ofstream(dir.path + AbstractSensor::NODE_CONFIG_FILE) << text;
    }
    // Log lines without their time stamps; flushes by restarting the backend.
    std::vector<std::string> logLines() {
        LoggerBackend::destroy();
        std::vector<std::string> lines;
        std::ifstream in(logFile);
        std::string line;
        while (std::getline(in, line)) {
            auto pos = line.find('[');
            lines.push_back(pos == std::string::npos ? line : line.substr(pos));
        }
        std::remove(logFile.c_str());
        EXPECT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logFile.c_str(), true));
        return lines;
    }
    static bool contains(const std::vector<std::string>& lines, const std::string& text) {
        for (const auto& l : lines)
            if (l == text) return true;
        return false;
    }

    TempDir dir;
    std::string logFile;
};

TEST_F(ClusterNameTest, FindsTheKeyWordWithItsValue) {
    const uint32_t counts[] = {0};
    FakeSensor s(nullptr, 0, counts, 1);
    writeNodeConfig(
        "# node file\nclusterName\n  clusterName   c1 trailing words\nclusterName c2\n");
    std::string name;
    EXPECT_TRUE(s.getLocalClusterName(name));
    EXPECT_EQ(name, "c1");
    // Once known, the name is kept without reading the file again.
    writeNodeConfig("clusterName other\n");
    EXPECT_TRUE(s.getLocalClusterName(name));
    EXPECT_EQ(name, "c1");

    const auto lines = logLines();
    EXPECT_TRUE(contains(lines, "[Debug  ] DRIXNode: cfgLine: clusterName"));
    EXPECT_TRUE(contains(lines, "[Info   ] DRIXNode: Using cluster name c1"));
    EXPECT_FALSE(contains(lines, "[Debug  ] DRIXNode: cfgLine: clusterName c2"));
}

TEST_F(ClusterNameTest, FailuresAreLoggedOnlyOnTheEdge) {
    const uint32_t counts[] = {0};
    FakeSensor s(nullptr, 0, counts, 1);
    const std::string path = dir.path + AbstractSensor::NODE_CONFIG_FILE;
    std::string name;

    // First run: logged even though the flags are reset by the sensor later.
    EXPECT_FALSE(s.getLocalClusterName(name));
    EXPECT_FALSE(s.sourceOK);
    auto lines = logLines();
    EXPECT_TRUE(contains(lines, "[Error  ] DRIXNode: Can not read config file " + path));

    // A persisting failure after a failed attempt is not logged again.
    s.firstRun = false;
    s.sourcePrevOK = s.sourceOK;
    EXPECT_FALSE(s.getLocalClusterName(name));
    EXPECT_TRUE(logLines().empty());

    // After a success it is logged once more.
    s.sourceOK = s.sourcePrevOK = true;
    writeNodeConfig("clusterName\nother c9\n");
    EXPECT_FALSE(s.getLocalClusterName(name));
    EXPECT_TRUE(name.empty());
    lines = logLines();
    EXPECT_TRUE(contains(
        lines, "[Error  ] DRIXNode: Can not find clusterName in config file " + path + "."));
}

TEST(AbstractSensor, FilterIsStored) {
    const uint32_t counts[] = {0};
    FakeSensor s(nullptr, 0, counts, 1);
    EXPECT_EQ(s.getFilter(), "");
    s.setFilter("netdev_name=lo");
    EXPECT_EQ(s.getFilter(), "netdev_name=lo");
    s.setPollPeriod(60000000);
    EXPECT_EQ(s.getPollPeriod(), 60000000u);
    EXPECT_TRUE(AbstractSensor::monRemoteFs);
}

// --- factory ---------------------------------------------------------------

int generated = 0;
AbstractSensor* generateA() {
    ++generated;
    const uint32_t counts[] = {0};
    return new FakeSensor(nullptr, 0, counts, 1);
}
AbstractSensor* generateB() {
    generated += 100;
    const uint32_t counts[] = {0};
    return new FakeSensor(nullptr, 0, counts, 1);
}

TEST(SensorFactory, LastRegistrationWinsAndEachIsAnnounced) {
    ::testing::internal::CaptureStdout();
    SensorFactory::registerGenerator("FactoryTestSensor", generateA);
    RegisterSensorGenerator<FakeSensor> second(SensorID::DRIXIS, generateB);
    SensorFactory::registerGenerator("DRIXNodeAPI", generateA);
    SensorFactory::registerGenerator("FactoryTestSensor", generateB);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "SensorFactory: FactoryTestSensor registered\n"
              "SensorFactory: DRIXNodeAPI registered\n"
              "SensorFactory: DRIXNodeAPI registered\n"
              "SensorFactory: FactoryTestSensor registered\n");

    generated = 0;
    AbstractSensor* a = SensorFactory::createSensor("FactoryTestSensor");
    AbstractSensor* b = SensorFactory::createSensor("FactoryTestSensor");
    EXPECT_EQ(generated, 200);
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    delete a;
    delete b;
    EXPECT_EQ(SensorFactory::findGenerator("DRIXNodeAPI"), &generateA);
    // Names are matched exactly: the enumerator spelling is not a name.
    EXPECT_EQ(SensorFactory::findGenerator("DRIXIS"), nullptr);
    EXPECT_EQ(SensorFactory::createSensor("NoSuchSensor"), nullptr);
    EXPECT_EQ(SensorFactory::createSensor(""), nullptr);
}

}  // namespace
