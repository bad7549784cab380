// Every host sensor of this family must be reachable by its configured name;
// a file dropped from the link would otherwise only show as a sensor that
// silently cannot be configured.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "AbstractSensor.h"
#include "SensorFactory.h"

namespace {

TEST(HostSensorRegistry, EveryHostSensorIsRegisteredWithItsLayout) {
    struct Expect {
        const char* name;
        SensorID::SensorID id;
        uint32_t metrics;
        uint32_t rowLength;
        uint32_t keyStrings;  // string columns between "sensor" and "metric_key"
    };
    const Expect expected[] = {
        {"CPU", SensorID::CPU, 15, 168, 0},         {"Memory", SensorID::Memory, 20, 248, 0},
        {"Network", SensorID::Network, 20, 272, 1}, {"Diskstat", SensorID::Diskstat, 15, 208, 1},
        {"Load", SensorID::Load, 7, 128, 0},        {"Netstat", SensorID::Netstat, 13, 168, 0},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.name);
        ASSERT_NE(SensorFactory::findGenerator(e.name), nullptr) << "not registered";
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(e.name));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getSensorID(), e.id);
        EXPECT_EQ(s->getName(), e.name);
        EXPECT_EQ(s->getPollPeriod(), 1000000u);
        EXPECT_EQ(s->getNumVirtualSensors(), 1u);
        EXPECT_EQ(s->getNumFields(0), e.metrics);

        const auto* def = s->getMetricDataDef();
        ASSERT_EQ(def->size(), e.metrics);
        uint32_t length = 0;
        for (const FieldSpecifier& f : *def) {
            length += f.fieldLen;
            EXPECT_EQ(f.enterprise_id, 2u);
        }
        EXPECT_EQ(length, e.rowLength);

        // Row header: node, sensor, the key strings, then the metric key.
        const auto* rows = reinterpret_cast<const MetricsMetadata*>(s->getMetaData()->data);
        EXPECT_STREQ(rows[0].metricName, "node");
        EXPECT_EQ(ntohs(rows[0].metricLen), 64);
        EXPECT_STREQ(rows[1].metricName, "sensor");
        EXPECT_EQ(ntohs(rows[1].metricLen), 36);
        for (uint32_t k = 0; k < e.keyStrings; ++k) {
            EXPECT_EQ(ntohs(rows[2 + k].metricType), DT_STRING);
            EXPECT_EQ(ntohs(rows[2 + k].metricSemantic), SEMTYPE_IDENTIFIER);
        }
        EXPECT_STREQ(rows[2 + e.keyStrings].metricName, "metric_key");
        EXPECT_EQ(ntohs(rows[2 + e.keyStrings].metricID), 106);
        // Metric numbers are unique within the table.
        for (uint32_t a = 0; a < e.metrics; ++a) {
            for (uint32_t b = a + 1; b < e.metrics; ++b) {
                EXPECT_NE((*def)[a].fieldType, (*def)[b].fieldType) << rows[a].metricName;
            }
        }
    }
}

}  // namespace
