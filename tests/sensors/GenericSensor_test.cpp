#include "GenericSensor.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FNV1AHash.h"
#include "stubs/StubHarness.h"

namespace {

const std::string FAKEPROXY = VELMAR_BINARY_DIR "/tests/stubs/fakeproxy";

// Keeps every line as "<severity letter>:<message>".
class CaptureLogger : public Logger {
  public:
    mutable std::vector<std::string> lines;
    // Lines of one severity letter, in order.
    std::vector<std::string> of(char letter) const {
        std::vector<std::string> out;
        for (const std::string& l : lines) {
            if (l[0] == letter) out.push_back(l.substr(2));
        }
        return out;
    }
#define CAPTURE(letter)                       \
    char buf[2048];                           \
    va_list ap;                               \
    va_start(ap, fmt);                        \
    std::vsnprintf(buf, sizeof buf, fmt, ap); \
    va_end(ap);                               \
    lines.push_back(std::string(letter) + buf)
    void logDebug(const char* fmt, ...) const override { CAPTURE("D:"); }
    void logInfo(const char* fmt, ...) const override { CAPTURE("I:"); }
    void logWarning(const char* fmt, ...) const override { CAPTURE("W:"); }
    void logError(const char* fmt, ...) const override { CAPTURE("E:"); }
    void logFatalAndStop(const char* fmt, ...) const override { CAPTURE("F:"); }
#undef CAPTURE
};

MetricsMetadata row(const char* name, uint16_t id, uint16_t type, uint16_t len, uint16_t sem) {
    MetricsMetadata m;
    std::memset(&m, 0, sizeof m);
    std::snprintf(m.metricName, sizeof m.metricName, "%s", name);
    m.metricID = id;
    m.metricType = type;
    m.metricLen = len;
    m.metricSemantic = sem;
    return m;
}

// Key elements first, the metric key, then the value metrics, as the
// meta-file reader builds them. Rows are 64+36+8+12+4+8+4+8 = 144 bytes.
std::vector<MetricsMetadata> table(bool ownKey = true) {
    std::vector<MetricsMetadata> t = {row("node", 100, DT_STRING, 64, SEMTYPE_IDENTIFIER),
                                      row("sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER)};
    if (ownKey) t.push_back(row("disk", 30001, DT_STRING, 8, SEMTYPE_IDENTIFIER));
    t.push_back(row("metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY));
    t.push_back(row("reads", 30002, DT_UINT_32, 4, SEMTYPE_TOTALCOUNTER));
    t.push_back(row("bytes", 30003, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER));
    t.push_back(row("pct", 30004, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY));
    t.push_back(row("secs", 30005, DT_FPMICRO_64, 8, SEMTYPE_QUANTITY));
    return t;
}

// Column offsets of table(true).
constexpr size_t NODE = 0, SENSOR = 64, DISK = 100, KEY = 108, READS = 120, BYTES = 124, PCT = 132,
                 SECS = 136, ROW = 144;

class TestableSensor : public GenericSensor {
  public:
    using GenericSensor::GenericSensor;
    CaptureLogger* capture() {
        auto* c = new CaptureLogger;
        delete log;
        log = c;  // deleted by the base class
        return c;
    }
    bool isSourceOK() const { return sourceOK; }
};

std::string hexOf(const char* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", static_cast<unsigned char>(p[i]));
        s += b;
    }
    return s;
}

MetricKey keyAt(const char* row) {
    MetricKey k;
    std::memcpy(&k, row + KEY, sizeof k);
    return k;
}

class GenericSensorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGCHLD, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(dir.path().empty());
        args = "--log=" + dir.path() + "/proxy.log;--dir=" + dir.path();
    }

    void reply(const std::string& body) {
        std::ofstream(dir.path() + "/sample.reply", std::ios::binary) << "_response_ begin\n"
                                                                      << body << "_response_ end\n";
    }
    // A record of table(true).
    static std::string rec(const std::string& node, const std::string& disk,
                           const std::string& vals = "reads:1 bytes:2 pct:3 secs:4") {
        return "_key_ node:" + node + " sensor:gs disk:" + disk + "\n_val_ " + vals + "\n";
    }
    size_t requests() {
        std::ifstream in(dir.path() + "/proxy.log");
        std::string l;
        size_t n = 0;
        while (std::getline(in, l)) n += l.find(" request ") != std::string::npos;
        return n;
    }
    TestableSensor* make(const std::vector<MetricsMetadata>& t = table(),
                         const std::string& sub = "sample") {
        sensor.reset(new TestableSensor("MyGeneric", 84, t, {static_cast<uint32_t>(t.size())},
                                        FAKEPROXY, args, sub));
        log = sensor->capture();
        return sensor.get();
    }
    void TearDown() override {
        if (sensor) sensor->shutdown();
    }

    StubHarness::TempDir dir;
    std::string args;
    std::unique_ptr<TestableSensor> sensor;
    CaptureLogger* log = nullptr;
};

TEST_F(GenericSensorTest, ConstructionAndBinding) {
    TestableSensor* s = make();
    EXPECT_EQ(s->getName(), "MyGeneric");
    EXPECT_EQ(s->getSensorID(), 84);
    EXPECT_EQ(s->getPollPeriod(), 1000000u);
    EXPECT_EQ(s->getNumFields(0), 8u);
    EXPECT_EQ(s->getStatus(), -1);
    const dataSet_t* ds = s->getMetricData();
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(ds->numSets, 0u);
    EXPECT_EQ(ds->setLength, ROW);
    EXPECT_EQ(requests(), 0u);

    EXPECT_EQ(s->init(), 0);
    EXPECT_EQ(s->getStatus(), 0);
    EXPECT_EQ(s->shutdown(), 0);
    EXPECT_EQ(s->getStatus(), -1);
}

TEST_F(GenericSensorTest, UnusableProxyOrSubCommand) {
    sensor.reset(new TestableSensor("G", 84, table(), {8}, dir.path() + "/none", "", "sample"));
    sensor->capture();
    EXPECT_EQ(sensor->init(), -1);
    EXPECT_EQ(sensor->getStatus(), -1);
    ASSERT_NE(sensor->getMetricData(), nullptr);

    // A line break would turn one request into two.
    EXPECT_FALSE(GenericSensor::validSubCmd("a\nb"));
    EXPECT_TRUE(GenericSensor::validSubCmd("a b;c"));
    TestableSensor* s = make(table(), "sample\nexit");
    EXPECT_EQ(s->init(), -1);
    EXPECT_EQ(log->of('E'),
              std::vector<std::string>{
                  "Sub-command of sensor MyGeneric holds a line break, sensor not started"});
    EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_EQ(requests(), 0u);
}

TEST_F(GenericSensorTest, RowLayoutAndConversions) {
    TestableSensor* s = make();
    ASSERT_EQ(s->init(), 0);
    char own[64];
    const uint32_t ownID = s->getNodeID(own, sizeof own);
    (void)ownID;

    reply(rec("alpha", "sda", "reads:12abc bytes:18446744073709551615 pct:2.5 secs:2.5") +
          rec("-", "sdb", "reads:4294967295 bytes:7 pct:-1.5 secs:1.8e13") +
          rec("", "a-long-disk-name", "reads:0 bytes:0 pct:0 secs:-1.5"));
    const dataSet_t* ds = s->getMetricData();
    ASSERT_EQ(ds->numSets, 3u);
    ASSERT_EQ(ds->setLength, ROW);
    const char* r0 = ds->data;
    const char* r1 = ds->data + ROW;
    const char* r2 = ds->data + 2 * ROW;

    EXPECT_STREQ(r0 + NODE, "alpha");
    EXPECT_STREQ(r0 + SENSOR, "gs");
    EXPECT_STREQ(r0 + DISK, "sda");
    EXPECT_EQ(hexOf(r0 + READS, 4), "00 00 00 0C");
    EXPECT_EQ(hexOf(r0 + BYTES, 8), "FF FF FF FF FF FF FF FF");
    EXPECT_EQ(hexOf(r0 + PCT, 4), "00 00 00 FA");
    EXPECT_EQ(hexOf(r0 + SECS, 8), "00 00 00 00 00 26 25 A0");
    MetricKey k0 = keyAt(r0);
    EXPECT_EQ(k0.nodeID, FNV1AHash32("alpha", 5));
    EXPECT_EQ(k0.metricClusterID, FNV1AHash32("sda", 3));
    EXPECT_EQ(k0.sensorID, 84);
    EXPECT_EQ(k0.metricID, 0);

    // "-" and "" stand for this node; the metric key follows the replacement.
    EXPECT_STREQ(r1 + NODE, own);
    EXPECT_EQ(keyAt(r1).nodeID, FNV1AHash32(own, static_cast<unsigned>(std::strlen(own))));
    EXPECT_EQ(hexOf(r1 + READS, 4), "FF FF FF FF");
    EXPECT_EQ(hexOf(r1 + PCT, 4), "FF FF FF 6B");
    EXPECT_EQ(hexOf(r1 + SECS, 8), "F9 CC D8 A1 C5 08 00 00");  // 1.8e19, above 2^63
    EXPECT_STREQ(r2 + NODE, own);

    // Cut to the field length - 1 and NUL-terminated; hashed whole.
    EXPECT_EQ(std::string(r2 + DISK, 8), std::string("a-long-\0", 8));
    EXPECT_EQ(keyAt(r2).metricClusterID, FNV1AHash32("a-long-disk-name", 16));
    EXPECT_EQ(hexOf(r2 + SECS, 8), "FF FF FF FF FF E9 1C A1");  // -1499999
    EXPECT_TRUE(log->of('W').empty());
    EXPECT_EQ(log->of('D').size(), 3u);  // the query and the two replacements
    EXPECT_EQ(log->lines[1],
              "D:Proxy provided no valid node name: -, using cvxsensors internal node name: " +
                  std::string(own));
}

TEST_F(GenericSensorTest, BadValuesLeaveZeroFields) {
    TestableSensor* s = make();
    ASSERT_EQ(s->init(), 0);
    struct Bad {
        const char* type;
        std::string vals;
        size_t off, len;
    };
    // One unreadable or unrepresentable value per record, the rest valid.
    const std::vector<Bad> bad = {
        {"uint32_t", "reads:abc", READS, 4},
        {"uint32_t", "reads:4294967296", READS, 4},
        {"uint64_t", "bytes:18446744073709551616", BYTES, 8},
        {"double", "pct:1e300", PCT, 4},
        {"double", "pct:1e17", PCT, 4},
        {"double", "pct:x", PCT, 4},
        {"double", "secs:1e14", SECS, 8},
        {"double", "secs:-1e13", SECS, 8},
        {"double", "secs:1e999", SECS, 8},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.vals);
        const std::string name = b.vals.substr(0, b.vals.find(':'));
        std::string vals = b.vals;
        for (const char* good : {"reads:1", "bytes:2", "pct:3", "secs:4"}) {
            if (std::string(good).compare(0, name.size() + 1, name + ":") != 0) {
                vals += std::string(" ") + good;
            }
        }
        reply(rec("n", "d1", vals) + rec("n", "d2"));
        const dataSet_t* ds = s->getMetricData();
        ASSERT_EQ(ds->numSets, 2u);
        EXPECT_EQ(hexOf(ds->data + b.off, b.len), hexOf(std::string(b.len, '\0').data(), b.len));
        EXPECT_EQ(hexOf(ds->data + READS, 4), b.off == READS ? "00 00 00 00" : "00 00 00 01");
        EXPECT_EQ(hexOf(ds->data + ROW + PCT, 4), "00 00 01 2C");
        // Logged only after a clean sample: a clean one in between.
        reply(rec("n", "d1"));
        ASSERT_EQ(s->getMetricData()->numSets, 1u);
    }
    std::vector<std::string> warnings = log->of('W');
    ASSERT_EQ(warnings.size(), bad.size());
    for (size_t i = 0; i < bad.size(); ++i) {
        const std::string text = bad[i].vals.substr(bad[i].vals.find(':') + 1);
        const std::string name = bad[i].vals.substr(0, bad[i].vals.find(':'));
        EXPECT_EQ(warnings[i], "Failed to convert " + std::string(bad[i].type) + " value (" + text +
                                   ") for metric " + name + ", skipping");
    }
}

TEST_F(GenericSensorTest, DataErrorsAreGated) {
    TestableSensor* s = make();
    ASSERT_EQ(s->init(), 0);
    reply(rec("n", "a"));
    ASSERT_EQ(s->getMetricData()->numSets, 1u);

    // Two bad records: one warning, then logging pauses.
    reply(rec("n", "a", "bytes:1 pct:1 secs:1") + rec("n", "b", "reads:x bytes:1 pct:1 secs:1"));
    EXPECT_EQ(s->getMetricData()->numSets, 2u);
    EXPECT_EQ(log->of('W'), std::vector<std::string>{"Missing value for metric reads"});
    EXPECT_EQ(log->of('I'),
              std::vector<std::string>{"Sensor MyGeneric: errors with response data, pausing error "
                                       "logs to avoid repeated entries"});
    // Still bad: silent.
    reply("_key_ node:n sensor:s\n_val_ reads:1\n_key_x\n_val_ reads:1\n" + rec("n", "c"));
    EXPECT_EQ(s->getMetricData()->numSets, 1u);
    EXPECT_EQ(log->of('W').size(), 1u);
    EXPECT_TRUE(s->isSourceOK());

    reply(rec("n", "a"));
    EXPECT_EQ(s->getMetricData()->numSets, 1u);
    EXPECT_EQ(log->of('I').back(),
              "Sensor MyGeneric: read response data without errors, enabling data read error "
              "logging");

    // Every record skipped: no rows, but records were received.
    log->lines.clear();
    reply("_key_ node:n sensor:s\n_val_ reads:1\n");
    EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_TRUE(s->isSourceOK());
    EXPECT_EQ(log->of('W'),
              (std::vector<std::string>{"Required key element disk not found in the input set of "
                                        "key elements, skipping",
                                        "Input key elements do not match metadata, skipping"}));
    EXPECT_TRUE(log->of('E').empty());

    reply(rec("n", "a"));
    s->getMetricData();
    log->lines.clear();
    reply("_key_x\n_val_ reads:1\n");
    EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_EQ(log->of('W'), std::vector<std::string>{"Missing key elements in input, skipping"});
}

TEST_F(GenericSensorTest, KeyHashCollisions) {
    TestableSensor* s = make();
    ASSERT_EQ(s->init(), 0);
    reply(rec("n", "same") + rec("m", "same") + rec("n", "other"));
    const dataSet_t* ds = s->getMetricData();
    ASSERT_EQ(ds->numSets, 3u);
    const uint32_t h = FNV1AHash32("same", 4);
    EXPECT_EQ(keyAt(ds->data).metricClusterID, h);
    EXPECT_EQ(keyAt(ds->data + ROW).metricClusterID, h + 1);
    EXPECT_EQ(keyAt(ds->data + 2 * ROW).metricClusterID, FNV1AHash32("other", 5));
    EXPECT_EQ(log->of('E'), std::vector<std::string>{
                                "Hash collision in sensor MyGeneric while computing metric key "
                                "for: disk (records collided: 1, most steps: 1)"});

    // Many equal keys: the next free values in turn, one line for the sample.
    std::string many;
    for (int i = 0; i < 300; ++i) many += rec("n", "same");
    log->lines.clear();
    reply(many);
    ds = s->getMetricData();
    ASSERT_EQ(ds->numSets, 300u);
    EXPECT_EQ(keyAt(ds->data + 299 * ROW).metricClusterID, h + 299);
    EXPECT_EQ(log->of('E'), std::vector<std::string>{
                                "Hash collision in sensor MyGeneric while computing metric key "
                                "for: disk (records collided: 299, most steps: 299)"});

    // Node and sensor name alone: no hash, no collision check.
    TestableSensor* two = make(table(false));
    ASSERT_EQ(two->init(), 0);
    reply("_key_ node:n sensor:s\n_val_ reads:1\n_key_ node:n sensor:s\n_val_ reads:2\n");
    ds = two->getMetricData();
    ASSERT_EQ(ds->numSets, 2u);
    MetricKey k;
    std::memcpy(&k, ds->data + 100, sizeof k);
    EXPECT_EQ(k.metricClusterID, 0u);
    std::memcpy(&k, ds->data + ds->setLength + 100, sizeof k);
    EXPECT_EQ(k.metricClusterID, 0u);
    EXPECT_TRUE(log->of('E').empty());
}

TEST_F(GenericSensorTest, RowBufferFollowsTheRecordCount) {
    TestableSensor* s = make();
    ASSERT_EQ(s->init(), 0);
    std::string five;
    for (int i = 0; i < 5; ++i) five += rec("n", "d" + std::to_string(i));
    reply(five);
    const char* first = s->getMetricData()->data;
    reply(five);
    const dataSet_t* ds = s->getMetricData();
    EXPECT_EQ(ds->numSets, 5u);
    EXPECT_EQ(ds->data, first);
    reply(rec("n", "a") + rec("n", "b") + rec("n", "c"));
    ds = s->getMetricData();
    EXPECT_EQ(ds->numSets, 3u);
    EXPECT_STREQ(ds->data + 2 * ROW + DISK, "c");
    EXPECT_EQ(s->shutdown(), 0);
    // The controller may still be encoding the last sample.
    EXPECT_EQ(ds->numSets, 3u);
    EXPECT_STREQ(ds->data + 2 * ROW + DISK, "c");
}

TEST_F(GenericSensorTest, HugeRowsAreRefused) {
    // Rows of about 72 MB: their size must not wrap in 32 bits.
    std::vector<MetricsMetadata> t = {row("metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY)};
    for (int i = 0; i < 1100; ++i) {
        t.push_back(row(("s" + std::to_string(i)).c_str(), 31000, DT_STRING, 65535, 1));
    }
    TestableSensor* s = make(t);
    ASSERT_EQ(s->init(), 0);
    std::string body;
    for (int i = 0; i < 60; ++i) body += "_key_ a:" + std::to_string(i) + "\n_val_ s0:1\n";
    reply(body);
    const dataSet_t* ds = s->getMetricData();
    ASSERT_NE(ds, nullptr);
    EXPECT_EQ(ds->numSets, 0u);
    ASSERT_EQ(log->of('E').size(), 1u);
    EXPECT_NE(log->of('E')[0].find("60 records need 4325310720 bytes"), std::string::npos)
        << log->of('E')[0];
}

TEST_F(GenericSensorTest, NoKeyElementsUsesThisNode) {
    std::vector<MetricsMetadata> t = {row("metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY),
                                      row("reads", 30002, DT_UINT_32, 4, 1)};
    TestableSensor* s = make(t);
    ASSERT_EQ(s->init(), 0);
    char own[64];
    s->getNodeID(own, sizeof own);
    reply("_key_ x:1\n_val_ reads:7\n");
    const dataSet_t* ds = s->getMetricData();
    ASSERT_EQ(ds->numSets, 1u);
    MetricKey k;
    std::memcpy(&k, ds->data, sizeof k);
    EXPECT_EQ(k.nodeID, FNV1AHash32(own, static_cast<unsigned>(std::strlen(own))));
    EXPECT_EQ(hexOf(ds->data + 12, 4), "00 00 00 07");
}

TEST_F(GenericSensorTest, SourceHealthIsEdgeTriggered) {
    TestableSensor* s = make();
    ASSERT_EQ(s->init(), 0);
    const std::string noResults =
        "No results received from MyGeneric or response could not be parsed, no metrics to "
        "report.";
    std::ofstream(dir.path() + "/sample.reply")
        << "_response_ begin\n_error_ busy\n_response_ end\n";
    EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_EQ(log->of('E'),
              (std::vector<std::string>{"proxy \"sample\" command failed: busy", noResults}));
    EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_EQ(log->of('E').size(), 2u);
    reply(rec("n", "a"));
    EXPECT_EQ(s->getMetricData()->numSets, 1u);
    EXPECT_EQ(log->of('I'), std::vector<std::string>{"Resumed reporting."});
    EXPECT_EQ(requests(), 3u);  // an error without the marker keeps the sensor on
}

TEST_F(GenericSensorTest, NotSupportedTurnsTheSensorOff) {
    TestableSensor* s = make(table(), "notsupported");
    ASSERT_EQ(s->init(), 0);
    EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_EQ(log->of('W'),
              std::vector<std::string>{"Sensor MyGeneric is not supported on this node and will be "
                                       "turned off"});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s->getMetricData()->numSets, 0u);
    EXPECT_EQ(requests(), 1u);
    EXPECT_EQ(log->of('W').size(), 1u);
    EXPECT_EQ(s->getStatus(), 0);
}

}  // namespace
