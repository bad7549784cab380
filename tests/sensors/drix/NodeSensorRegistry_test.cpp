// The registrations of the per-node statistics sensors: what start-up
// prints, which names find a generator, and what a generator returns.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "AbstractSensor.h"
#include "SensorFactory.h"
#include "stubs/StubHarness.h"

namespace {

const char* const registered[] = {
    "DRIXVFS",           "DRIXVFSX",       "DRIXIOC",    "DRIXVIO",           "DRIXVIO64",
    "DRIXNode",          "DRIXNodeAPI",    "DRIXKOVA",   "DRIXvFLUSH",        "DRIXCHMS",
    "DRIXEventProducer", "DRIXOpenFile",   "DRIXMutex",  "DRIXCondvar",       "DRIXRPCS",
    "DRIXRPCSPeer",      "DRIXWaiters",    "DRIXBufMgr", "DRIXJZK",           "DRIXDisk",
    "DRIXPDDisk",        "DRIXFilesystem", "DRIXPoolIO", "DRIXFilesystemAPI", "DRIXWQM",
    "DRIXWQMFS",         "DRIXWQMFSET",
};

// Start-up output comes before main, so it is read from a second run of this
// test program.
TEST(NodeSensorRegistry, StartUpAnnouncesEveryName) {
    const StubHarness::RunResult run = StubHarness::runSelf("--gtest_list_tests");
    ASSERT_EQ(run.exitStatus, 0);
    for (const char* name : registered) {
        const std::string line = std::string("SensorFactory: ") + name + " registered\n";
        EXPECT_NE(run.output.find(line), std::string::npos) << line;
    }
}

TEST(NodeSensorRegistry, NamesAndGenerators) {
    // The enumerator names of the node sensors are not their names.
    for (const char* name : {"DRIXNS", "DRIXIS", "DRIXFIS"}) {
        EXPECT_EQ(SensorFactory::findGenerator(name), nullptr) << name;
    }
    for (const char* name : registered) {
        SCOPED_TRACE(name);
        const sensor_generator_t generate = SensorFactory::findGenerator(name);
        ASSERT_NE(generate, nullptr);
        std::unique_ptr<AbstractSensor> a(generate());
        std::unique_ptr<AbstractSensor> b(generate());
        EXPECT_NE(a.get(), b.get());
        EXPECT_EQ(a->getName(), name);
        EXPECT_EQ(a->getPollPeriod(), 1000000u);
    }
}

}  // namespace
