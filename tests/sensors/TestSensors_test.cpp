// The test-only sensors, reached only through the factory as the controller
// reaches them.
#include <arpa/inet.h>
#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "AbstractSensor.h"
#include "Configuration.h"
#include "FNV1AHash.h"
#include "ParamNames.h"
#include "SensorCtrl.h"
#include "SensorFactory.h"
#include "SensorStub.h"

namespace {

class TestSensors : public ::testing::Test {
  protected:
    void SetUp() override {
        values.putStr(Cfg::HOSTNAME, "e2e-node");
        cfg.reset(new Cfg::Configuration(schema, values));
        SensorCtrl::config = cfg.get();
    }
    void TearDown() override { SensorCtrl::config = nullptr; }

    static std::string field(const char* row, size_t off, size_t len) {
        return std::string(row + off, len);
    }
    static uint32_t be32(const char* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return ntohl(v);
    }
    static uint64_t be64(const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return be64toh(v);
    }

    Cfg::ParamDefStore schema;
    Cfg::ParamValStore values;
    std::unique_ptr<Cfg::Configuration> cfg;
};

TEST_F(TestSensors, OneRowSensorWritesTheMetricKeyInHostOrder) {
    std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor("TestSensor1"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getSensorID(), SensorID::TestSensor1);
    EXPECT_EQ(s->getNumVirtualSensors(), 1u);
    ASSERT_EQ(s->init(), 0);

    const dataSet_t* d = s->getMetricData();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->numSets, 1u);
    ASSERT_EQ(d->setLength, 128u);
    const char* row = d->data;
    char node[64] = "e2e-node";
    EXPECT_EQ(field(row, 0, 64), std::string(node, 64));
    EXPECT_EQ(field(row, 64, 36), std::string("TestSensor1") + std::string(25, '\0'));

    const uint32_t nodeID = FNV1AHash32(node, 64);
    const unsigned char key[12] = {static_cast<unsigned char>(nodeID),
                                   static_cast<unsigned char>(nodeID >> 8),
                                   static_cast<unsigned char>(nodeID >> 16),
                                   static_cast<unsigned char>(nodeID >> 24),
                                   0,
                                   0,
                                   0,
                                   0,
                                   58,
                                   0,
                                   0,
                                   0};
    EXPECT_EQ(std::memcmp(row + 100, key, 12), 0);
    EXPECT_EQ(be64(row + 112), 1u);
    EXPECT_EQ(be32(row + 120), 42u);
    EXPECT_EQ(be32(row + 124), 1234u);

    d = s->getMetricData();
    EXPECT_EQ(be64(d->data + 112), 2u);
}

TEST_F(TestSensors, SecondSensorHasTwoVirtualSensorsWithKeyedRows) {
    std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor("TestSensor2"));
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->getNumVirtualSensors(), 2u);
    EXPECT_EQ(s->getNumFields(0), 5u);
    EXPECT_EQ(s->getNumFields(1), 4u);
    ASSERT_EQ(s->init(), 0);

    s->getMetricData();
    const dataSet_t* d = s->getMetricData();  // the second sample
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d[0].numSets, 3u);
    ASSERT_EQ(d[0].setLength, 180u);
    const char* names[] = {"alpha", "beta", "gamma"};
    for (uint32_t i = 0; i < 3; ++i) {
        const char* row = d[0].data + i * 180;
        char name[64] = {};
        std::strcpy(name, names[i]);
        EXPECT_EQ(field(row, 100, 64), std::string(name, 64));
        MetricKey key;
        std::memcpy(&key, row + 164, 12);
        EXPECT_EQ(key.metricClusterID, FNV1AHash32(name, 64));
        EXPECT_EQ(key.sensorID, SensorID::TestSensor2);
        EXPECT_EQ(be32(row + 176), 20 + i);
    }
    ASSERT_EQ(d[1].numSets, 1u);
    ASSERT_EQ(d[1].setLength, 120u);
    EXPECT_EQ(be64(d[1].data + 112), 20u + 21 + 22);
    MetricKey total;
    std::memcpy(&total, d[1].data + 100, 12);
    EXPECT_EQ(total.metricClusterID, 0u);

    // The row lengths agree with the metric tables the templates are built from.
    const auto& defs = *s->getMetricDataDef();
    uint32_t first = 0;
    for (uint32_t v = 0; v < 2; ++v) {
        uint32_t len = 0;
        for (uint32_t i = 0; i < s->getNumFields(v); ++i) len += defs[first + i].fieldLen;
        first += s->getNumFields(v);
        EXPECT_EQ(len, d[v].setLength) << "virtual sensor " << v;
    }
}

TEST_F(TestSensors, RunsOnItsSensorThreadWithTheLogicalClock) {
    std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor("TestSensor2"));
    ASSERT_NE(s, nullptr);
    sensorQueue_t ctrl;
    ASSERT_EQ(SensorStub::executeSensor(*s, ctrl, 946681200000ULL, 1000), 0);
    auto next = [&ctrl]() {
        sensorMsgHdr* msg = nullptr;
        EXPECT_EQ(getMsg(ctrl, msg, 10000000), 0);
        return std::unique_ptr<sensorMsgHdr>(msg);
    };

    auto reg = next();
    ASSERT_NE(reg, nullptr);
    auto* r = dynamic_cast<sensorRegisterMsg*>(reg.get());
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(sendRequest(*r->sensorQueue, sensorInitReq));
    auto init = next();
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->command, sensorInitRep);
    EXPECT_EQ(init->repCode, 0);
    for (uint64_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(sendRequest(*r->sensorQueue, sensorGetDataReq));
        auto msg = next();
        auto* d = dynamic_cast<sensorDataRepMsg*>(msg.get());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->sensorID, SensorID::TestSensor2);
        EXPECT_EQ(d->curTime, 946681200000ULL + i * 1000);
        // The controller reads the rows before it asks again.
        EXPECT_EQ(be32(d->data[0].data + 176), i * 10);
        EXPECT_EQ(be64(d->data[1].data + 112), i * 30 + 3);
    }
    ASSERT_TRUE(sendRequest(*r->sensorQueue, sensorShutdownReq));
    auto down = next();
    ASSERT_NE(down, nullptr);
    EXPECT_EQ(down->command, sensorShutdownRep);
    SensorStub::waitUntilSensorsTerminate();
}

}  // namespace
