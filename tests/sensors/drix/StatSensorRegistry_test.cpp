// Every statistics sensor of the family is registered under its name, once,
// and each generator makes its own class with its own identity.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "AbstractSensor.h"
#include "SensorFactory.h"
#include "stubs/StubHarness.h"

namespace {

const struct Entry {
    const char* name;
    SensorID::SensorID id;
} registered[] = {
    {"DRIXDisk", SensorID::DRIXDisk},         {"DRIXFilesystem", SensorID::DRIXFilesystem},
    {"DRIXZSDDisk", SensorID::DRIXZSDDisk},   {"DRIXPoolIO", SensorID::DRIXPoolIO},
    {"DRIXVFS", SensorID::DRIXVFS},           {"DRIXIOC", SensorID::DRIXIOC},
    {"DRIXVIO", SensorID::DRIXVIO},           {"DRIXVIO64", SensorID::DRIXVIO64},
    {"DRIXPDDisk", SensorID::DRIXPDDisk},     {"DRIXvFLUSH", SensorID::DRIXvFLUSH},
    {"DRIXMutex", SensorID::DRIXMutex},       {"DRIXCondvar", SensorID::DRIXCondvar},
    {"DRIXNode", SensorID::DRIXNS},           {"DRIXNodeAPI", SensorID::DRIXIS},
    {"DRIXFilesystemAPI", SensorID::DRIXFIS}, {"DRIXKOVA", SensorID::DRIXKOVA},
    {"DRIXCHMS", SensorID::DRIXCHMS},         {"DRIXWQM", SensorID::DRIXWQM},
    {"DRIXWQMFS", SensorID::DRIXWQMFS},       {"DRIXWQMFSET", SensorID::DRIXWQMFSET},
    {"DRIXRPCS", SensorID::DRIXRPCS},         {"DRIXRPCSPeer", SensorID::DRIXRPCSPeer},
    {"DRIXWaiters", SensorID::DRIXWaiters},   {"DRIXEventProducer", SensorID::DRIXEventProducer},
    {"DRIXBufMgr", SensorID::DRIXBufMgr},     {"DRIXOpenFile", SensorID::DRIXOpenFile},
    {"DRIXVFSX", SensorID::DRIXVFSX},         {"DRIXJZK", SensorID::DRIXJZK},
};
static_assert(sizeof registered / sizeof registered[0] == 28, "");

TEST(StatSensorRegistry, EveryNameMakesItsSensor) {
    // Enumerator names that are not sensor names.
    for (const char* name : {"DRIXNS", "DRIXIS", "DRIXFIS"})
        EXPECT_EQ(SensorFactory::findGenerator(name), nullptr) << name;
    for (const Entry& e : registered) {
        SCOPED_TRACE(e.name);
        std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor(e.name));
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->getSensorID(), e.id);
        EXPECT_EQ(s->getName(), e.name);
    }
}

// Start-up output comes before main, so it is read from a second run of this
// test program.
TEST(StatSensorRegistry, StartUpAnnouncesEachNameOnce) {
    const StubHarness::RunResult run = StubHarness::runSelf("--gtest_list_tests");
    ASSERT_EQ(run.exitStatus, 0);
    for (const Entry& e : registered) {
        const std::string line = std::string("SensorFactory: ") + e.name + " registered\n";
        const std::size_t at = run.output.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        EXPECT_EQ(run.output.find(line, at + 1), std::string::npos) << line;
    }
}

}  // namespace
