#include "definitions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "ipfix.h"
#include "sensorIDs.h"

namespace {

TEST(SensorIDs, NameTableSpotChecks) {
    EXPECT_STREQ(SensorID::sensorNames[SensorID::Unknown], "Unknown");
    EXPECT_STREQ(SensorID::sensorNames[SensorID::CPU], "CPU");
    // The only entries whose names differ from their enumerators.
    EXPECT_STREQ(SensorID::sensorNames[SensorID::DRIXNS], "DRIXNode");
    EXPECT_STREQ(SensorID::sensorNames[SensorID::DRIXIS], "DRIXNodeAPI");
    EXPECT_STREQ(SensorID::sensorNames[SensorID::DRIXFIS], "DRIXFilesystemAPI");
    EXPECT_EQ(SensorID::DRIXNS, 18);
    EXPECT_EQ(SensorID::DRIXFIS, 20);
    EXPECT_EQ(SensorID::Controller, 24);
    EXPECT_STREQ(SensorID::sensorNames[SensorID::CephCluster], "CephCluster");
    EXPECT_STREQ(SensorID::sensorNames[58], "TestSensor1");
    EXPECT_STREQ(SensorID::sensorNames[59], "TestSensor2");
    EXPECT_STREQ(SensorID::sensorNames[60], "DRIXDiskCap");
    EXPECT_STREQ(SensorID::sensorNames[SensorID::SensorLast], "DRIXvitalq");
    EXPECT_EQ(SensorID::SensorFirst, SensorID::Blaster);
    EXPECT_EQ(SensorID::SensorLast, 87);
}

TEST(SensorIDs, NamesAreDistinctAndNonEmpty) {
    std::set<std::string> names;
    for (int i = 0; i < SensorID::NUM_SENSOR_IDS; ++i) {
        ASSERT_NE(SensorID::sensorNames[i], nullptr) << i;
        EXPECT_GT(std::strlen(SensorID::sensorNames[i]), 0u) << i;
        // The sensor column of a row is 36 bytes with a terminator.
        EXPECT_LT(std::strlen(SensorID::sensorNames[i]), size_t{ROW_SENSOR_LEN}) << i;
        names.insert(SensorID::sensorNames[i]);
    }
    EXPECT_EQ(names.size(), size_t{SensorID::NUM_SENSOR_IDS});
}

TEST(SensorIDs, SensorNameIsSafeOutsideTheTable) {
    EXPECT_EQ(SensorID::sensorName(SensorID::DRIXIS), "DRIXNodeAPI");
    EXPECT_EQ(&SensorID::sensorName(2), &SensorID::sensorName(2));
    // A generic sensor's meta-file may give any number.
    EXPECT_EQ(SensorID::sensorName(88), "Unknown");
    EXPECT_EQ(SensorID::sensorName(-1), "Unknown");
    EXPECT_EQ(SensorID::sensorName(1000000), "Unknown");
}

TEST(Definitions, EnumerationValues) {
    EXPECT_EQ(DT_FPCENTI_32, 15);
    EXPECT_EQ(DT_STRING, 30);
    EXPECT_EQ(DT_METRIC_KEY_96, 40);
    EXPECT_EQ(DT_PER_MIL, 42);
    EXPECT_EQ(SEMTYPE_KEY, 4);
    EXPECT_EQ(SEMTYPE_DELTACOUNTER, 8);
}

TEST(Definitions, RowHeaderColumns) {
    EXPECT_STREQ(ROW_HEADER_NODE.metricName, "node");
    EXPECT_EQ(ROW_HEADER_NODE.metricID, 100);
    EXPECT_EQ(ROW_HEADER_NODE.metricLen, 64);
    EXPECT_EQ(ROW_HEADER_SENSOR.metricID, 101);
    EXPECT_EQ(ROW_HEADER_SENSOR.metricLen, 36);
    EXPECT_EQ(ROW_HEADER_SENSOR.metricSemantic, SEMTYPE_IDENTIFIER);
    EXPECT_STREQ(ROW_HEADER_METRIC_KEY.metricName, "metric_key");
    EXPECT_EQ(ROW_HEADER_METRIC_KEY.metricID, 106);
    EXPECT_EQ(ROW_HEADER_METRIC_KEY.metricType, DT_METRIC_KEY_96);
    EXPECT_EQ(ROW_HEADER_METRIC_KEY.metricLen, 12);
    EXPECT_EQ(ROW_HEADER_METRIC_KEY.metricSemantic, SEMTYPE_KEY);
    const MetricsMetadata header[] = {ROW_HEADER_NODE, ROW_HEADER_SENSOR, ROW_HEADER_METRIC_KEY};
    EXPECT_EQ(rowLength(header, 0, 3), 112u);
    EXPECT_EQ(rowLength(header, 1, 2), 48u);
    EXPECT_EQ(rowLength(header, 0, 0), 0u);
}

TEST(Definitions, MetricKeyIsWrittenInHostOrder) {
    const MetricKey key = {0x11223344, 0xA0B0C0D0, 2, 0};
    char field[12];
    writeMetricKey(field, key);
    const unsigned char expect[12] = {0x44, 0x33, 0x22, 0x11, 0xD0, 0xC0,
                                      0xB0, 0xA0, 0x02, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(field, expect, sizeof expect), 0);
}

TEST(Definitions, MetricKeyOrdering) {
    const MetricKey a = {1, 2, 3, 0};
    const MetricKey b = {1, 2, 4, 0};
    const MetricKey c = {2, 0, 0, 0};
    EXPECT_TRUE(a == a);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b < c);
    EXPECT_TRUE(c > a);
    EXPECT_FALSE(a < a);
    EXPECT_FALSE(a > a);
}

TEST(Definitions, MetricsMetadataComparisonIgnoresBytesAfterTheName) {
    MetricsMetadata a, b;
    std::memset(&a, 0, sizeof a);
    std::memset(&b, 0xff, sizeof b);
    std::strcpy(a.metricName, "cpu_user");
    std::strcpy(b.metricName, "cpu_user");
    a.metricID = b.metricID = 7;
    a.metricType = b.metricType = DT_UINT_32;
    a.metricLen = b.metricLen = 4;
    a.metricSemantic = b.metricSemantic = SEMTYPE_QUANTITY;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a < b || b < a);
    b.metricLen = 8;
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a < b);
    std::strcpy(b.metricName, "cpu_idle");
    EXPECT_TRUE(b < a);
}

}  // namespace
