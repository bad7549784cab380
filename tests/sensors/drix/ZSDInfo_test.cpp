// The ZSD name map: its line grammar and refresh rules through a query seam
// and a test clock, and once through ADMCmdStub, the real AdmCmdRelay and the
// repository tool stand-in (which lives once per process, so CTest runs that
// case alone).
#include "ZSDInfo.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ADMCmdStub.h"
#include "Configuration.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "SensorCtrl.h"
#include "stubs/StubHarness.h"

namespace {

using Lines = std::vector<std::string>;
using Map = std::map<std::string, std::pair<std::string, std::string>>;  // disk -> {pool, fs}

time_t now = 1000;
time_t testClock() { return now; }

const std::string P = "peekreg:pkrq_zsd_info:a:b:c:d:";

Map mapOf(const ZSDInfo& z) {
    Map out;
    for (const auto& e : z.map()) out[e.first] = {e.second.pool, e.second.fs};
    return out;
}

// A seam that answers every request with `reply` (null when `fail`) and
// counts the requests.
struct Repository {
    Lines reply;
    bool fail = false;
    int asked = 0;
    ZSDInfo::Query query() {
        return [this](const std::string& request) -> Lines* {
            EXPECT_EQ(request, "zsdInfo");
            ++asked;
            return fail ? nullptr : new Lines(reply);
        };
    }
};

TEST(ZSDInfoGrammar, ReplyLines) {
    const struct Row {
        const char* what;
        Lines reply;
        Map map;
        bool complete;  // the refresh counts, lastUpdate moves
        std::string stderrText;
    } rows[] = {
        {"trailing delimiter", {P + "zsd1:fs1:system:\n"}, {{"zsd1", {"system", "fs1"}}}, true, ""},
        // The line end is not part of the pool's name.
        {"last field without delimiter",
         {P + "zsd1:fs1:system\n"},
         {{"zsd1", {"system", "fs1"}}},
         true,
         ""},
        {"carriage return", {P + "zsd1:fs1:system\r\n"}, {{"zsd1", {"system", "fs1"}}}, true, ""},
        {"ignored fields empty, later fields ignored",
         {"peekreg:pkrq_zsd_info:::::zsd1:fs1:system:x:y\n"},
         {{"zsd1", {"system", "fs1"}}},
         true,
         ""},
        {"second line of a disk wins",
         {P + "zsd1:fs1:system:\n", P + "zsd2:fs1:data:\n", P + "zsd1:fs2:fast:\n"},
         {{"zsd1", {"fast", "fs2"}}, {"zsd2", {"data", "fs1"}}},
         true,
         ""},
        {"a long line in pieces",
         {P + "zsd1:fs1:", "system:\n"},
         {{"zsd1", {"system", "fs1"}}},
         true,
         ""},
        {"empty reply", {}, {}, true, ""},
        // Each bad line stops the refresh there; the lines before it stay.
        {"empty disk",
         {P + "zsd1:fs1:system:\n", P + ":fs1:system:\n", P + "zsd3:fs1:system:\n"},
         {{"zsd1", {"system", "fs1"}}},
         false,
         "Couldn't parse peekreg output: " + P + ":fs1:system:\n\n"},
        {"empty filesystem",
         {P + "zsd1::system:\n"},
         {},
         false,
         "Couldn't parse peekreg output: " + P + "zsd1::system:\n\n"},
        {"empty pool",
         {P + "zsd1:fs1::\n"},
         {},
         false,
         "Couldn't parse peekreg output: " + P + "zsd1:fs1::\n\n"},
        {"pool missing",
         {P + "zsd1:fs1\n"},
         {},
         false,
         "Couldn't parse peekreg output: " + P + "zsd1:fs1\n\n"},
        {"another first word",
         {"peekreq:pkrq_zsd_info:a:b:c:d:zsd1:fs1:system:\n"},
         {},
         false,
         "Couldn't parse peekreg output: peekreq:pkrq_zsd_info:a:b:c:d:zsd1:fs1:system:\n\n"},
        {"another second word",
         {"peekreg:pkrq_fs_info:a:b:c:d:zsd1:fs1:system:\n"},
         {},
         false,
         "Couldn't parse peekreg output: peekreg:pkrq_fs_info:a:b:c:d:zsd1:fs1:system:\n\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Repository repo;
        repo.reply = r.reply;
        ZSDInfo z(60, testClock);
        z.setQuery(repo.query());
        now = 1000;
        testing::internal::CaptureStderr();
        const poolFS_t* answer = z.getPoolAndFS("zsd1");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.stderrText);
        EXPECT_EQ(mapOf(z), r.map);
        EXPECT_EQ(z.lastUpdateTime(), r.complete ? 1000 : 0);
        const auto it = r.map.find("zsd1");
        if (it == r.map.end()) {
            EXPECT_EQ(answer, z.unknown());
            EXPECT_EQ(answer->pool, "unknown");
            EXPECT_EQ(answer->fs, "unknown");
        } else {
            EXPECT_EQ(answer->pool, it->second.first);
            EXPECT_EQ(answer->fs, it->second.second);
        }
    }
}

TEST(ZSDInfoRefresh, AtMostOnceInTheRefreshPeriod) {
    Repository repo;
    repo.reply = {P + "zsd1:fs1:system:\n"};
    ZSDInfo z(60, testClock);
    z.setQuery(repo.query());
    now = 1000;
    EXPECT_EQ(z.getPoolAndFS("zsd1")->pool, "system");
    now = 1060;
    EXPECT_EQ(z.getPoolAndFS("zsd1")->pool, "system");
    EXPECT_EQ(z.getPoolAndFS("zsd2"), z.unknown());
    EXPECT_EQ(repo.asked, 1);
    // 61 s after the refresh: an empty reply empties the map, and counts.
    repo.reply.clear();
    now = 1061;
    EXPECT_EQ(z.getPoolAndFS("zsd1"), z.unknown());
    EXPECT_EQ(repo.asked, 2);
    EXPECT_EQ(z.lastUpdateTime(), 1061);
    EXPECT_EQ(z.getPoolAndFS("zsd1"), z.unknown());
    EXPECT_EQ(repo.asked, 2);
}

TEST(ZSDInfoRefresh, AFailingRepositoryIsAskedOncePerSample) {
    Repository broken;
    broken.reply = {P + "zsd1:fs1:system:\n", "garbage\n"};
    Repository silent;
    silent.fail = true;
    const struct Row {
        Repository* repo;
        std::string message;
    } rows[] = {
        {&broken, "Couldn't parse peekreg output: garbage\n\n"},
        {&silent, "An error occurred executing zsdInfo: "},
    };
    for (const Row& r : rows) {
        ZSDInfo z(60, testClock);
        z.setQuery(r.repo->query());
        now = 5000;
        for (int sample = 1; sample <= 3; ++sample) {
            z.newSample();
            testing::internal::CaptureStderr();
            for (const char* disk : {"zsd1", "zsd2", "zsd3", "zsd1"}) z.getPoolAndFS(disk);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(err.compare(0, r.message.size(), r.message), 0) << err;
            EXPECT_EQ(r.repo->asked, sample);
            ++now;
        }
        EXPECT_EQ(z.lastUpdateTime(), 0);
    }
    // The lines before the broken one are used meanwhile.
    ZSDInfo z(60, testClock);
    z.setQuery(broken.query());
    testing::internal::CaptureStderr();
    EXPECT_EQ(z.getPoolAndFS("zsd1")->pool, "system");
    testing::internal::GetCapturedStderr();
}

// Through the channel: AdmCmdRelay runs the stand-in as the repository tool.
TEST(ZSDInfoChannel, ThroughAdmCmdRelay) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN);
    StubHarness::TempDir dir;
    ASSERT_TRUE(StubHarness::installTools(dir.path() + "/usr/vnx/qorm/bin", KVREG, {"peekreg"}));
    StubHarness::ScopedEnv env;
    const std::string log = dir.path() + "/kvreg.log";
    env.set("VELMAR_PLATFORM_ROOT", dir.path().c_str());
    env.set("KVREG_LOG", log.c_str());
    env.set("KVREG_REPLY", (P + "zsd1:fs1:system\n" + P + "zsd2:fs1:data\n").c_str());
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
    cfg.getParamStore().putStr(Cfg::ADMCMD, ADMCMDRELAY);
    SensorCtrl::config = &cfg;
    const auto asked = [&log] {
        std::ifstream in(log);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::string one = "pkrq_zsd_info|pkrq_zsd_name:pkrq_fs_name:pkrq_storage_pool|\n";
    {
        ZSDInfo z(60, testClock);
        now = 1000;
        EXPECT_EQ(z.getPoolAndFS("zsd2")->pool, "data");
        now = 1060;
        EXPECT_EQ(z.getPoolAndFS("zsd1")->fs, "fs1");
        EXPECT_EQ(asked(), one);
        now = 1061;
        EXPECT_EQ(z.getPoolAndFS("zsd1")->pool, "system");
        EXPECT_EQ(asked(), one + one);
    }
    // The map held the only reference: the channel is gone for good.
    EXPECT_EQ(ADMCmdStub::getInstance(), nullptr);
    SensorCtrl::config = nullptr;
}

}  // namespace
