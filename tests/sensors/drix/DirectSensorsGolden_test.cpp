// Golden samples of the seven direct statistics sensors: recorded replies
// (tests/fixtures/directstats/<request>.reply) go through the statistics
// channel and the fake relay, and the rows, decoded by each sensor's metric
// table, must read as tests/fixtures/directstats/<sensor>.rows.
#include <gtest/gtest.h>

#include <string>

#include "SensorDRIXBufMgr.h"
#include "SensorDRIXCondvar.h"
#include "SensorDRIXJZK.h"
#include "SensorDRIXMutex.h"
#include "SensorDRIXRPCS.h"
#include "SensorDRIXRPCSPeer.h"
#include "SensorDRIXWaiters.h"
#include "StatGoldenSupport.h"

namespace {

using GoldenTest::make;

const std::string FIXTURES = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/directstats/";

::testing::Environment* const channel = ::testing::AddGlobalTestEnvironment(
    new GoldenTest::Channel({{"tallyq mutex", FIXTURES + "mutex.reply"},
                             {"tallyq condvar", FIXTURES + "condvar.reply"},
                             {"tallyq rpcs ns", FIXTURES + "rpcs_ns.reply"},
                             {"tallyq rpcs 1s", FIXTURES + "rpcs_1s.reply"},
                             {"tallyq wt", FIXTURES + "wt.reply"},
                             {"tallyq bufmgr_s", FIXTURES + "bufmgr_s.reply"},
                             {"tallyq pdisk_s", FIXTURES + "pdisk_s.reply"},
                             {"tallyq da_s", FIXTURES + "da_s.reply"}},
                            FIXTURES + "root"));

TEST(DirectSensorsGolden, RecordedRepliesGiveTheExpectedRows) {
    GoldenTest::expectRows(
        FIXTURES, {
                      {"DRIXMutex", make<SensorDRIXMutex>, {}},
                      {"DRIXCondvar", make<SensorDRIXCondvar>, {}},
                      {"DRIXRPCS", make<SensorDRIXRPCS>, {}},
                      {"DRIXRPCSPeer", make<SensorDRIXRPCSPeer>, {}},
                      {"DRIXWaiters", make<SensorDRIXWaiters>, {}},
                      {"DRIXBufMgr", make<SensorDRIXBufMgr>, {}},
                      {"DRIXJZK", make<SensorDRIXJZK>, {"Info: Using cluster name gold.cluster"}},
                  });
    // Each request went to the relay once, the arrays after the disks.
    EXPECT_EQ(GoldenTest::relayRequests(),
              "tallyq mutex;tallyq condvar;tallyq rpcs ns;tallyq rpcs 1s;tallyq wt;"
              "tallyq bufmgr_s;tallyq pdisk_s;tallyq da_s;");
}

}  // namespace
