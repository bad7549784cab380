#include "ParamValStore.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>

#include "ParamDefStore.h"

namespace {

using Cfg::IntVec;
using Cfg::ParamDef;
using Cfg::ParamDefStore;
using Cfg::ParamValStore;
using Cfg::ParamVec;
using Cfg::StrVec;

TEST(ParamDefStore, DuplicateNamesAndLetters) {
    static const ParamDef defs[] = {
        {Cfg::strVec, 'C', "config", "Config file.", nullptr},
        {Cfg::flag, 'd', "daemonize", "Daemonize.", nullptr},
        {Cfg::intVec, 'C', "count", "Count.", nullptr},  // letter taken
        {Cfg::flag, 'x', "config", "Again.", nullptr},   // name taken
    };
    ParamDefStore s;
    EXPECT_TRUE(s.putDefArray(0, defs));
    EXPECT_TRUE(s.putDefArray(2, defs));

    EXPECT_FALSE(s.putDef(defs[3]));
    EXPECT_EQ(s.getDefByName("config"), &defs[0]);
    EXPECT_EQ(s.getDefByOption('x'), nullptr);

    // The name is registered, the letter keeps its first owner.
    EXPECT_FALSE(s.putDef(defs[2]));
    EXPECT_EQ(s.getDefByName("count"), &defs[2]);
    EXPECT_EQ(s.getDefByOption('C'), &defs[0]);
    EXPECT_EQ(s.getDefByName("Config"), nullptr);
}

TEST(ParamDefStore, PutDefArrayStopsAtFirstRefusal) {
    static const ParamDef defs[] = {
        {Cfg::flag, 0, "a", "", nullptr},
        {Cfg::flag, 0, "a", "", nullptr},
        {Cfg::flag, 0, "b", "", nullptr},
    };
    ParamDefStore s;
    EXPECT_FALSE(s.putDefArray(3, defs));
    EXPECT_NE(s.getDefByName("a"), nullptr);
    EXPECT_EQ(s.getDefByName("b"), nullptr);
}

TEST(ParamDefStore, OptionStringAndHelp) {
    static const ParamDef defs[] = {
        {Cfg::intVec, 'p', "period", "Period.", nullptr},
        {Cfg::flag, 'd', "daemonize", "Daemonize.", nullptr},
        {Cfg::strVec, 'C', "config", "Config file.", nullptr},
        {Cfg::flag, 0, "none", "", nullptr},
        {Cfg::flag, '7', "digit", "", nullptr},
        {Cfg::flag, '?', "punct", "", nullptr},
        {Cfg::flag, 0x141, "wide", "", nullptr},  // 'A' + 256 must not alias 'A'
    };
    ParamDefStore s;
    ASSERT_TRUE(s.putDefArray(7, defs));
    std::string opts = "stale";
    s.getOptString(opts);
    EXPECT_EQ(opts, "C:dp:");
    EXPECT_EQ(s.getDefByOption('?'), nullptr);
    EXPECT_EQ(s.getDefByOption('A'), nullptr);
    EXPECT_EQ(s.getDefByOption(-1), nullptr);

    std::ostringstream help;
    s.printHelp(help);
    EXPECT_EQ(help.str(), "Options: \n\t-C: Config file.\n\t-d: Daemonize.\n\t-p: Period.\n");

    ParamDefStore empty;
    empty.getOptString(opts);
    EXPECT_EQ(opts, "");
}

TEST(ParamValStore, ReadersFailOnAbsentWrongTypeAndEmpty) {
    ParamValStore s;
    s.putIntVec("ints", {});
    s.putStr("str", "x");
    int32_t i = 42;
    const IntVec* iv = nullptr;
    EXPECT_FALSE(s.getInt("ints", i));
    EXPECT_FALSE(s.getIntVec("ints", iv));
    EXPECT_EQ(i, 42);
    EXPECT_EQ(iv, nullptr);

    // A string overwrites an integer and keeps only its own type.
    s.putInt("n", 5);
    ASSERT_TRUE(s.putStr("n", "five"));
    EXPECT_FALSE(s.getInt("n", i));
    std::string str;
    EXPECT_TRUE(s.getString("n", str));
    EXPECT_EQ(str, "five");

    ParamVec sentinel;
    const ParamVec* pv = &sentinel;
    EXPECT_FALSE(s.getParamStoreVec("absent", pv));
    EXPECT_EQ(pv, nullptr);
    ParamVec* upd = &sentinel;
    EXPECT_FALSE(s.getStoreVecForUpdate("absent", upd));
    EXPECT_EQ(upd, &sentinel);

    bool f = true;
    EXPECT_FALSE(s.getFlag("str", f));
    s.putFlag("f", false);
    EXPECT_TRUE(s.getFlag("f", f));
    EXPECT_FALSE(f);
    EXPECT_FALSE(s.empty());
    EXPECT_TRUE(ParamValStore().empty());
}

TEST(ParamValStore, StringsTheLanguageCannotCarryAreRefused) {
    ParamValStore s;
    ASSERT_TRUE(s.putStr("s", "keep"));
    for (const char* bad : {"a\"b", "\x01", "vt\v", "\x7f", "caf\xc3\xa9"}) {
        EXPECT_FALSE(s.putStr("s", bad)) << bad;
        EXPECT_FALSE(s.putStrVec("s", {"ok", bad})) << bad;
    }
    std::string v;
    ASSERT_TRUE(s.getString("s", v));
    EXPECT_EQ(v, "keep");
    EXPECT_TRUE(s.putStr("s", ""));
    EXPECT_TRUE(s.putStr("s", "~ !#$%&'()*+,-./:;<=>?@[\\]^_`{|}"));
    // The language carries these inside quotes.
    EXPECT_TRUE(s.putStrVec("s", {"a\nb", "tab\there", "cr\r"}));
}

ParamValStore entry(const std::string& name, int32_t period) {
    ParamValStore e;
    e.putStr("name", name);
    e.putInt("period", period);
    return e;
}

TEST(ParamValStore, PutStoreReplacesListEvenWithOneOfItsOwnElements) {
    ParamValStore s;
    s.putStore("list", entry("a", 1));
    s.appendStore("list", entry("b", 2));
    s.appendStore("list", entry("c", 3));
    ParamVec* list = nullptr;
    ASSERT_TRUE(s.getStoreVecForUpdate("list", list));
    ASSERT_EQ(list->size(), 3u);

    // The argument is the second element of the list being destroyed.
    s.putStore("list", *(*list)[1]);
    const ParamVec* after = nullptr;
    ASSERT_TRUE(s.getParamStoreVec("list", after));
    ASSERT_EQ(after->size(), 1u);
    EXPECT_TRUE(*(*after)[0] == entry("b", 2));

    // A store given its own self ends up holding a copy of its old self.
    ParamValStore self;
    self.putStore("list", entry("x", 1));
    ParamValStore old(self);
    self.putStore("list", self);
    ASSERT_TRUE(self.getParamStoreVec("list", after));
    EXPECT_TRUE(*(*after)[0] == old);

    // appendStore on an absent name or another type starts a new list.
    ParamValStore t;
    t.putInt("list", 1);
    t.appendStore("list", entry("y", 2));
    t.appendStore("other", entry("z", 3));
    ASSERT_TRUE(t.getParamStoreVec("list", after));
    EXPECT_EQ(after->size(), 1u);
    ASSERT_TRUE(t.getParamStoreVec("other", after));
    EXPECT_EQ(after->size(), 1u);
}

TEST(ParamValStore, CopyIsDeep) {
    ParamValStore inner;
    inner.putStore("deep", entry("d", 4));
    ParamValStore s;
    s.putStore("list", inner);
    s.putStrVec("strs", {"a", "b"});

    ParamValStore copy(s);
    ParamValStore assigned;
    assigned = s;
    EXPECT_TRUE(copy == s);
    EXPECT_TRUE(assigned == s);

    ParamVec* list = nullptr;
    ASSERT_TRUE(s.getStoreVecForUpdate("list", list));
    (*list)[0]->putInt("changed", 1);
    EXPECT_FALSE(copy == s);
    EXPECT_FALSE(assigned == s);
}

ParamValStore ints(const IntVec& a) {
    ParamValStore s;
    s.putIntVec("a", a);
    return s;
}

TEST(ParamValStore, OrderIgnoresElementOrderInsideLists) {
    ParamValStore x, y;
    x.putIntVec("a", {1, 2});
    x.putStr("b", "x");
    y.putStr("b", "x");
    y.putIntVec("a", {2, 1});
    EXPECT_TRUE(x == y);
    EXPECT_EQ(x.compareValStores(y), 0);

    EXPECT_TRUE(ints({1}) < ints({2}));
    EXPECT_FALSE(ints({2}) < ints({1}));
    EXPECT_TRUE(ints({INT32_MIN}) < ints({INT32_MAX}));  // no overflow in the difference
    EXPECT_TRUE(ints({1, 2}) < ints({1, 1, 1}));        // the shorter list first
    EXPECT_TRUE(ints({1, 1, 2}) < ints({3, 1, 1}));
    EXPECT_TRUE(ints({3, 1, 1}) == ints({1, 3, 1}));

    // More parameters is greater, whatever the names.
    ParamValStore two;
    two.putFlag("z", false);
    two.putFlag("zz", false);
    EXPECT_TRUE(ints({1000}) < two);

    // Different name sets never compare equal.
    ParamValStore p, q;
    p.putFlag("a", true);
    q.putFlag("b", true);
    EXPECT_FALSE(p == q);
    EXPECT_TRUE(p < q);

    // Store lists compare as multisets of stores.
    ParamValStore l1, l2, l3;
    l1.putStore("s", entry("CPU", 1));
    l1.appendStore("s", entry("Load", 1));
    l2.putStore("s", entry("Load", 1));
    l2.appendStore("s", entry("CPU", 1));
    l3.putStore("s", entry("Load", 1));
    l3.appendStore("s", entry("CPU", 2));
    EXPECT_TRUE(l1 == l2);
    EXPECT_FALSE(l1 == l3);
    EXPECT_TRUE(l1 < l3);
    EXPECT_FALSE(l3 < l1);
}

}  // namespace
