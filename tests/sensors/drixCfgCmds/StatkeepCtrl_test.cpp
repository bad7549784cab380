#include "StatkeepCtrl.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ParamNames.h"
#include "SensorDefaultConfig.h"
#include "StubHarness.h"

namespace {

typedef std::vector<std::string> Strings;

// The controller over an in-memory configuration of the built-in defaults.
class Ctrl : public StatkeepCtrl {
  public:
    explicit Ctrl(const std::string& node) {
        nodeNumber = node;
        Cfg::SensorDefaultConfig defaults;
        config = new Cfg::Configuration(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                                        defaults.velmarSensorStore);
    }
    Cfg::ParamValStore& params() { return config->params; }
    void candidates(const Strings& c) { ASSERT_TRUE(params().putStrVec(Cfg::COLCAND, c)); }
    // "host:port" of every collectors entry, in order.
    Strings collectors() {
        Strings out;
        const Cfg::ParamVec* list = nullptr;
        if (!params().getParamStoreVec(Cfg::COLLECTORS, list)) return out;
        for (const Cfg::ParamValStore* e : *list) {
            std::string host = "?", port = "?";
            e->getString(Cfg::COLHOST, host);
            e->getString(Cfg::COLPORT, port);
            out.push_back(host + ":" + port);
        }
        return out;
    }
    // Run between the walk to the file and its rewrite or removal.
    std::function<void()> between = [] {};

  private:
    void walked() override { between(); }
};

const Strings CANDIDATES = {"alpha:9001", "bravo", "charlie:4740", "delta", "echo"};
// Two spellings of one collector, which the ring without the check gives
// nodes 2 and 15 both.
const Strings COL1_TWICE = {"col1", "col1:4739", "col2", "col3"};

// Expected choices from collector_choice.py (next to this file), which
// follows the published algorithms independently of the code under test:
//   python3 collector_choice.py 2 alpha:9001 bravo charlie:4740 delta echo -- 1 2 17 1023 node-x
// and the same with 3, and with the candidates of COL1_TWICE.
TEST(StatkeepCtrlCollectors, RingChoiceMatchesTheReferenceInAnyCandidateOrder) {
    const struct {
        const char* node;
        int redundancy;
        Strings expected;
        Strings candidates = CANDIDATES;
    } rows[] = {
        {"1", 2, {"bravo:4739", "charlie:4740"}},
        {"2", 2, {"bravo:4739", "echo:4739"}},
        {"17", 2, {"alpha:9001", "echo:4739"}},
        {"1023", 2, {"alpha:9001", "charlie:4740"}},
        {"node-x", 2, {"alpha:9001", "bravo:4739"}},
        {"1", 3, {"bravo:4739", "charlie:4740", "echo:4739"}},
        {"2", 3, {"alpha:9001", "bravo:4739", "echo:4739"}},
        {"1023", 3, {"alpha:9001", "charlie:4740", "echo:4739"}},
        {"node-x", 3, {"alpha:9001", "bravo:4739", "delta:4739"}},
        {"2", 2, {"col1:4739", "col3:4739"}, COL1_TWICE},
        {"15", 2, {"col1:4739", "col3:4739"}, COL1_TWICE},
    };
    for (const auto& r : rows) {
        for (bool reversed : {false, true}) {
            Ctrl ctrl(r.node);
            ctrl.candidates(reversed ? Strings(r.candidates.rbegin(), r.candidates.rend())
                                     : r.candidates);
            ctrl.params().putInt(Cfg::COLREDUNDANCY, r.redundancy);
            ASSERT_TRUE(ctrl.assignCollectors());
            EXPECT_EQ(ctrl.collectors(), r.expected) << r.node << " reversed " << reversed;
        }
    }
}

TEST(StatkeepCtrlCollectors, TargetCountsEntryFormsAndRefusals) {
    const int UNSET = 1000;
    const Strings refused = {":4739"};  // the built-in entry stays
    const struct {
        Strings candidates;
        int redundancy;
        Strings expected;
    } rows[] = {
        {CANDIDATES, 0, {"bravo:4739"}},  // 0 is raised to 1
        {CANDIDATES, -1, {"alpha:9001", "bravo:4739", "charlie:4740", "delta:4739", "echo:4739"}},
        {CANDIDATES, UNSET, {"bravo:4739", "charlie:4740"}},  // unset gives 2
        // More wanted than there are: all, in byte order.
        {{"c2", "c1:9085"}, 5, {"c1:9085", "c2:4739"}},
        // Duplicates count once: one key settles it.
        {{"solo", "solo", "solo"}, 2, {"solo:4739"}},
        // Split at ':' with empty pieces skipped, pieces after the port ignored.
        {{"h:", ":p", "h2:p2:q", "::h3::"}, -1, {"h3:4739", "p:4739", "h2:p2", "h:4739"}},
        {{}, 2, refused},
        {{""}, 2, refused},           // the built-in empty candidate
        {{"", "c1"}, 2, refused},     // an empty first entry
        {{"c1", ""}, 2, refused},     // an empty entry further down has no host
        {{"c1", ":::"}, 2, refused},  // nor has one of colons only
        // Spellings of one host and port give one entry, the first in byte order.
        {{"127.0.0.1:9085", "127.0.0.1:9085:", "127.0.0.1::9085"}, -1, {"127.0.0.1:9085"}},
        {{"h:4739", "h:04739", "h:", "h"}, 2, {"h:4739"}},
        {{"H:4739", "h"}, 2, {"H:4739"}},  // host names do not differ by case
        {{"c1:65535", "c2:ipfix", "c3:1"}, -1, {"c1:65535", "c2:ipfix", "c3:1"}},
        {{"c1", "127.0.0.1:99999"}, 2, refused},       // would reach port 34463
        {{"c1:0"}, 2, refused},                        // no port to connect to
        {{"c1:99999999999999999999999"}, 2, refused},  // too long for any integer
        // Ports the resolver would read as a number modulo 65536.
        {{"c1", "h: 99695"}, 2, refused},
        {{"c1", "h:+4739", "h"}, 2, refused},
        {{"c1", "h:47 39"}, 2, refused},
        // A candidate list written as one string is no host.
        {{"10.0.0.1,10.0.0.2:4740,c"}, 2, refused},
        {{"c1", "a b"}, 2, refused},
        {{"c1", "::1"}, 2, refused},  // the host "1", which the resolver reads as 0.0.0.1
        // Blanks around host and port are not written and make no other
        // collector; a port of blanks only is no port.
        {{"h: 4740 ", "c2"}, -1, {"c2:4739", "h:4740"}},
        {{"h", " h ", "h: "}, -1, {"h:4739"}},
    };
    for (const auto& r : rows) {
        Ctrl ctrl("1");
        ctrl.candidates(r.candidates);
        if (r.redundancy == UNSET) {
            ctrl.params().putIntVec(Cfg::COLREDUNDANCY, {});
        } else {
            ctrl.params().putInt(Cfg::COLREDUNDANCY, r.redundancy);
        }
        const std::string row =
            testing::PrintToString(r.candidates) + " " + std::to_string(r.redundancy);
        EXPECT_EQ(ctrl.assignCollectors(), r.expected != refused) << row;
        EXPECT_EQ(ctrl.collectors(), r.expected) << row;
    }
}

TEST(StatkeepCtrlCollectors, AShortfallOnTheRingIsOneWarning) {
    Strings many;
    for (int i = 0; i < 300; ++i) many.push_back("c" + std::to_string(i));
    for (int redundancy : {200, 100}) {  // the ring's 256 keys reach 172 for node 1
        Ctrl ctrl("1");
        ctrl.candidates(many);
        ctrl.params().putInt(Cfg::COLREDUNDANCY, redundancy);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(ctrl.assignCollectors());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ctrl.collectors().size(), redundancy == 200 ? 172u : 100u);
        EXPECT_EQ(err.empty() ? "" : err.substr(err.find(" [")),
                  redundancy == 200 ? " [Warning]: Only 172 of 200 collectors could be chosen "
                                      "for this node.\n"
                                    : "");
    }
}

TEST(StatkeepCtrlCollectors, GrowingCopiesTheFirstEntryAndShrinkingDropsFromTheEnd) {
    Ctrl ctrl("1");
    Cfg::ParamVec* list = nullptr;
    ASSERT_TRUE(ctrl.params().getStoreVecForUpdate(Cfg::COLLECTORS, list));
    list->front()->putStr("note", "kept");  // a key the rewrite does not own
    ctrl.candidates({"c1:9085", "c2"});
    ctrl.params().putInt(Cfg::COLREDUNDANCY, 5);
    ASSERT_TRUE(ctrl.assignCollectors());
    EXPECT_EQ(ctrl.collectors(), (Strings{"c1:9085", "c2:4739"}));
    ASSERT_TRUE(ctrl.params().getStoreVecForUpdate(Cfg::COLLECTORS, list));
    for (const Cfg::ParamValStore* e : *list) {
        std::string note;
        EXPECT_TRUE(e->getString("note", note) && note == "kept");
    }

    ctrl.candidates({"c3"});
    ASSERT_TRUE(ctrl.assignCollectors());
    EXPECT_EQ(ctrl.collectors(), Strings{"c3:4739"});
}

// What lies at the configuration path can change after the walk checked it:
// another user creates a file in a world-writable sticky directory, or the
// file is replaced or removed. The rewrite and the removal act only on what
// the walk found, and copy owner and mode only from it.
TEST(StatkeepCtrlFiles, OnlyTheFileTheWalkCheckedIsWrittenOrRemoved) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can plant another user's file";
    StubHarness::TempDir tmp;
    const std::string dir = tmp.path() + "/pub", path = dir + "/VelmarSensors.cfg";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    // Another user's file put at the path, as by a rename in one step.
    auto plant = [&] {
        const std::string other = dir + "/other";
        std::ofstream(other) << "planted";
        ASSERT_EQ(chown(other.c_str(), 65534, 65534) | chmod(other.c_str(), 0666), 0);
        ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
    };
    const struct {
        bool before;  // the caller's file is there when the walk runs
        bool remove;  // removeConfig rather than writeConfig
        bool plants;  // else the file goes away between walk and write
    } rows[] = {
        {false, false, true}, {true, false, true}, {true, true, true}, {true, false, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.before << r.remove << r.plants);
        ::unlink(path.c_str());
        if (r.before) std::ofstream(path) << "the caller's";
        Ctrl ctrl("1");
        ctrl.between = [&] { r.plants ? plant() : (void)::unlink(path.c_str()); };
        testing::internal::CaptureStderr();
        EXPECT_FALSE(r.remove ? ctrl.removeConfig(path) : ctrl.writeConfig(path));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(path + " changed during the run."), std::string::npos) << err;
        // The planted file as it was, or still nothing; no temporary left.
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        struct stat st;
        EXPECT_EQ(lstat(path.c_str(), &st) == 0, r.plants);
        EXPECT_TRUE(!r.plants || (st.st_uid == 65534 && (st.st_mode & 07777) == 0666 &&
                                  text.str() == "planted"));
        EXPECT_EQ(std::system(("test $(ls -A " + dir + " | wc -l) -le 1").c_str()), 0);
    }
}

}  // namespace
