#include "StatkeepCtrl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ParamNames.h"
#include "SensorDefaultConfig.h"

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
};

const Strings CANDIDATES = {"alpha:9001", "bravo", "charlie:4740", "delta", "echo"};

// Expected choices from collector_choice.py (next to this file), which
// follows the published algorithms independently of the code under test:
//   python3 collector_choice.py 2 alpha:9001 bravo charlie:4740 delta echo -- 1 2 17 1023 node-x
// and the same with 3.
TEST(StatkeepCtrlCollectors, RingChoiceMatchesTheReferenceInAnyCandidateOrder) {
    const struct {
        const char* node;
        int redundancy;
        Strings expected;
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
    };
    for (const auto& r : rows) {
        for (bool reversed : {false, true}) {
            Ctrl ctrl(r.node);
            ctrl.candidates(reversed ? Strings(CANDIDATES.rbegin(), CANDIDATES.rend())
                                     : CANDIDATES);
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

}  // namespace
