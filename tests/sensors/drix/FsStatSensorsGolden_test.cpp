// Golden samples of the per-disk, per-filesystem and WQM statistics sensors:
// recorded replies (tests/fixtures/fsstats/<request>.reply) go through the
// statistics channel and the fake relay, and the rows, decoded by each
// sensor's metric table, must read as tests/fixtures/fsstats/<sensor>.rows.
#include <gtest/gtest.h>

#include <string>

#include "SensorDRIXDisk.h"
#include "SensorDRIXFilesystem.h"
#include "SensorDRIXFilesystemAPI.h"
#include "SensorDRIXPDDisk.h"
#include "SensorDRIXPoolIO.h"
#include "SensorDRIXWQM.h"
#include "SensorDRIXWQMFS.h"
#include "SensorDRIXWQMFSet.h"
#include "StatGoldenSupport.h"

namespace {

using GoldenTest::make;

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/fsstats/";

const char* const REQUESTS[] = {"ds", "pd_ds", "fs", "plios", "fis", "wqm", "wqm fs", "wqm fset"};

GoldenTest::Channel* channelOfFixtures() {
    std::vector<std::pair<std::string, std::string>> replies;
    for (const char* r : REQUESTS)
        replies.emplace_back(std::string("tallyq ") + r, FIXTURES + r + ".reply");
    return new GoldenTest::Channel(replies);
}
::testing::Environment* const channel = ::testing::AddGlobalTestEnvironment(channelOfFixtures());

TEST(FsStatSensorsGolden, RecordedRepliesGiveTheExpectedRows) {
    GoldenTest::expectRows(
        FIXTURES,
        {
            {"DRIXDisk",
             make<SensorDRIXDisk>,
             {"Info: tallyq ds provides auto-reset/per-bucket fields (_*pb_) for min./max. queue "
              "time and wait time."}},
            {"DRIXPDDisk",
             make<SensorDRIXPDDisk>,
             {"Info: tallyq pd_ds provides auto-reset/per-bucket fields (_*pb_) for min./max. "
              "queue "
              "time and wait time."}},
            {"DRIXFilesystem",
             make<SensorDRIXFilesystem>,
             {"Warning: tallyq fs does not provide auto-reset/per-bucket fields (_*pb_) for "
              "min./max. queue time and wait time."}},
            {"DRIXPoolIO", make<SensorDRIXPoolIO>, {}},
            {"DRIXFilesystemAPI", make<SensorDRIXFilesystemAPI>, {}},
            {"DRIXWQM", make<SensorDRIXWQM>, {}},
            {"DRIXWQMFS", make<SensorDRIXWQMFS>, {}},
            {"DRIXWQMFSET", make<SensorDRIXWQMFSet>, {}},
        });
    // Each request went to the relay once.
    std::string expected;
    for (const char* r : REQUESTS) expected += std::string("tallyq ") + r + ";";
    EXPECT_EQ(GoldenTest::relayRequests(), expected);
}

}  // namespace
