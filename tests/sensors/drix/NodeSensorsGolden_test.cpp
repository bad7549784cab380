// Golden samples of the twelve per-node statistics sensors: a recorded reply
// per request line goes through the statistics channel and the fake relay,
// and the row must equal the expected bytes. The expected files
// (tests/fixtures/nodestats/<sensor>.hex) list the non-zero bytes after the
// row header as "offset: bytes"; every other byte must be zero.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FNV1AHash.h"
#include "SensorDRIXCacheStat.h"
#include "SensorDRIXEventProducer.h"
#include "SensorDRIXIOContext.h"
#include "SensorDRIXKOVA.h"
#include "SensorDRIXNodeStat.h"
#include "SensorDRIXNodeStatAPI.h"
#include "SensorDRIXOpenFile.h"
#include "SensorDRIXVFS.h"
#include "SensorDRIXVFSX.h"
#include "SensorDRIXVIO.h"
#include "SensorDRIXVIO64.h"
#include "SensorDRIXvFlush.h"
#include "StatGoldenSupport.h"

namespace {

using GoldenTest::readFile;

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/nodestats/";

// The channel of the whole test program; each case sets the replies.
::testing::Environment* const channel =
    ::testing::AddGlobalTestEnvironment(new GoldenTest::Channel);

// The reply the fake relay gives to `request` from now on.
void answerWith(const std::string& request, const std::string& fixture) {
    std::ofstream(GoldenTest::Channel::dir.path() + "/" + request + ".reply", std::ios::binary)
        << readFile(FIXTURES + fixture);
}

// The expected row: the header of this node and sensor, zeros, then the
// spans of the hex file.
std::string expectedRow(const std::string& sensor, SensorID::SensorID id, uint32_t length) {
    std::string row(length, '\0');
    char node[64] = "goldnode";
    std::memcpy(&row[0], node, sizeof node);
    std::memcpy(&row[64], sensor.data(), sensor.size());
    const MetricKey key{FNV1AHash32(node, sizeof node), 0, static_cast<uint16_t>(id), 0};
    std::memcpy(&row[100], &key, sizeof key);
    std::istringstream lines(readFile(FIXTURES + sensor + ".hex"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        std::size_t at = 0;
        char colon = 0;
        in >> at >> colon;
        unsigned byte = 0;
        while (in >> std::hex >> byte) {
            EXPECT_LT(at, length) << line;
            if (at < length) row[at++] = static_cast<char>(byte);
        }
    }
    return row;
}

// The first few offsets at which two rows differ, with both bytes.
std::string differences(const std::string& got, const std::string& want) {
    std::ostringstream out;
    int shown = 0;
    for (std::size_t i = 0; i < got.size() && i < want.size() && shown < 8; ++i) {
        if (got[i] == want[i]) continue;
        char text[48];
        std::snprintf(text, sizeof text, "%zu: %02X not %02X; ", i,
                      static_cast<unsigned char>(got[i]), static_cast<unsigned char>(want[i]));
        out << text;
        ++shown;
    }
    return out.str();
}

using Made = GoldenTest::Made<SensorDRIXNodeBase>;
template <class S>
Made make() {
    return GoldenTest::make<S, SensorDRIXNodeBase>();
}

struct Golden {
    const char* sensor;
    SensorID::SensorID id;
    Made (*maker)();
    std::vector<std::string> samples;  // reply fixture of each sample
    std::vector<std::string> logged;   // error and info lines over all samples
};

const std::string PER_BUCKET =
    "Info: tallyq ns provides auto-reset/per-bucket fields (_*pb_) for min./max. queue time and "
    "wait time.";

const Golden goldens[] = {
    {"DRIXVFS", SensorID::DRIXVFS, make<SensorDRIXVFS>, {"vfss.reply"}, {}},
    {"DRIXVFSX", SensorID::DRIXVFSX, make<SensorDRIXVFSX>, {"vfssx.reply"}, {}},
    {"DRIXIOC", SensorID::DRIXIOC, make<SensorDRIXIOContext>, {"iocs.1.reply", "iocs.2.reply"}, {}},
    {"DRIXVIO", SensorID::DRIXVIO, make<SensorDRIXVIO>, {"vios.reply"}, {}},
    {"DRIXVIO64", SensorID::DRIXVIO64, make<SensorDRIXVIO64>, {"vios.reply"}, {}},
    {"DRIXNode",
     SensorID::DRIXNS,
     make<SensorDRIXNodeStat>,
     {"ns.reply", "ns.reply", "ns.reply"},
     {PER_BUCKET}},
    {"DRIXNodeAPI", SensorID::DRIXIS, make<SensorDRIXNodeStatAPI>, {"is.reply"}, {}},
    {"DRIXKOVA", SensorID::DRIXKOVA, make<SensorDRIXKOVA>, {"kovastat.reply"}, {}},
    {"DRIXvFLUSH", SensorID::DRIXvFLUSH, make<SensorDRIXvFlush>, {"vflush_stat.reply"}, {}},
    {"DRIXCHMS", SensorID::DRIXCHMS, make<SensorDRIXCacheStat>, {"chms.reply"}, {}},
    {"DRIXEventProducer",
     SensorID::DRIXEventProducer,
     make<SensorDRIXEventProducerStat>,
     {"eps.reply"},
     {}},
    {"DRIXOpenFile", SensorID::DRIXOpenFile, make<SensorDRIXOpenFile>, {"of_s.reply"}, {}},
};

TEST(NodeSensorsGolden, RecordedRepliesGiveTheExpectedRows) {
    for (const Golden& g : goldens) {
        SCOPED_TRACE(g.sensor);
        Made made = g.maker();
        SensorDRIXNodeBase& sensor = *made.sensor;
        ASSERT_EQ(sensor.init(), 0);
        std::string row;
        for (const std::string& fixture : g.samples) {
            answerWith(sensor.getRequest(), fixture);
            row = NodeTest::rowOf(sensor.getMetricData());
            ASSERT_EQ(row.size(), sensor.getRowLength()) << fixture << ": no row";
        }
        const std::string expected = expectedRow(g.sensor, g.id, sensor.getRowLength());
        EXPECT_EQ(differences(row, expected), "");
        EXPECT_EQ(*made.logged, g.logged);
        EXPECT_EQ(sensor.shutdown(), 0);
    }
}

// A sensor shut down twice gives its reference back once: the channel that
// other sensors hold stays.
TEST(NodeSensorsGolden, ASecondShutdownKeepsTheSharedChannel) {
    SensorDRIXCacheStat first;
    ASSERT_EQ(first.init(), 0);
    EXPECT_EQ(first.shutdown(), 0);
    EXPECT_EQ(first.shutdown(), 0);
    SensorDRIXCacheStat second;
    EXPECT_EQ(second.init(), 0);
    EXPECT_EQ(second.shutdown(), 0);
}

}  // namespace
