#include "CfgFileParser.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace {

using Cfg::CfgFileParser;
using Cfg::ParamDef;
using Cfg::ParamDefStore;
using Cfg::ParamValStore;
using Cfg::ParamVec;

// top:   f (flag), i (integers), s (strings), list (entries), nodef (a store
//        list whose definition lacks a nested schema)
// entry: name, period, on (flag), sub (stores of v, integers)
struct Schema {
    ParamDefStore top, entry, sub;
    const ParamDef subDefs[1] = {{Cfg::intVec, 0, "v", "", nullptr}};
    const ParamDef entryDefs[4] = {
        {Cfg::strVec, 0, "name", "", nullptr},
        {Cfg::intVec, 0, "period", "", nullptr},
        {Cfg::flag, 0, "on", "", nullptr},
        {Cfg::paramVec, 0, "sub", "", &sub},
    };
    const ParamDef topDefs[5] = {
        {Cfg::flag, 'f', "f", "", nullptr},
        {Cfg::intVec, 'i', "i", "", nullptr},
        {Cfg::strVec, 's', "s", "", nullptr},
        {Cfg::paramVec, 0, "list", "", &entry},
        {Cfg::paramVec, 0, "nodef", "", nullptr},
    };
    Schema() {
        sub.putDefArray(1, subDefs);
        entry.putDefArray(4, entryDefs);
        top.putDefArray(5, topDefs);
    }
};

const Schema& schema() {
    static const Schema s;
    return s;
}

struct Result {
    bool ok;
    CfgFileParser::ErrorToken error;
    uint32_t line;
    std::string ident;
};

Result parseText(const std::string& text, ParamValStore& store,
                 const ParamDefStore& defs = schema().top) {
    std::istringstream in(text);
    CfgFileParser p;
    bool ok = p.parse(in, store, defs);
    return {ok, p.getErrorNum(), p.getLineNo(), p.getLastIdent()};
}

struct BadRow {
    const char* text;
    CfgFileParser::ErrorToken error;
    uint32_t line;
    const char* ident;  // for unknownIdentifier and wrongType
};

TEST(CfgFileParser, MalformedInputReportsKindLineAndIdentifier) {
    const CfgFileParser::ErrorToken S = CfgFileParser::syntaxError;
    const CfgFileParser::ErrorToken U = CfgFileParser::unknownIdentifier;
    const CfgFileParser::ErrorToken W = CfgFileParser::wrongType;
    const BadRow rows[] = {
        {"", S, 1, nullptr},                             // a list needs one statement
        {"# only a comment\n  \n", S, 3, nullptr},       // likewise
        {"i = 1, i = 2", S, 1, nullptr},                 // ',' wants another integer
        {"f = true", S, 1, nullptr},                     // 't', then "rue" lacks '='
        {"f = x", S, 1, nullptr},                        // not a flag letter
        {"i = 1,\n", S, 2, nullptr},                     // trailing ','
        {"i = -\n", S, 2, nullptr},                      // '-' without digits
        {"i 1", S, 1, nullptr},                          // missing '='
        {"1 = 2", S, 1, nullptr},                        // identifiers start with no digit
        {"i = 1 = 2", S, 1, nullptr},                    // '=' cannot start a statement
        {"i = 1 : 2", S, 1, nullptr},                    // ':' has no role
        {"s = \"abc", S, 1, nullptr},                    // unterminated string
        {"s = \"a\x01z\"", S, 1, nullptr},               // control character in a string
        {"s = \"a\vz\"", S, 1, nullptr},                 // vertical tab is not allowed either
        {"s = \"caf\xc3\xa9\"", S, 1, nullptr},          // bytes above 0x7F
        {"s = \"a\",", S, 1, nullptr},                   // trailing ',' in a string list
        {"}", S, 1, nullptr},                            // '}' at the top level
        {"list = {}", S, 1, nullptr},                    // empty nested store
        {"list = { name = \"a\" } }", S, 1, nullptr},    // a second '}'
        {"list = { name = \"a\" }, ", S, 1, nullptr},    // trailing ',' in a store list
        {"list = { name = \"a\" ", S, 1, nullptr},       // unclosed nested store
        {"i = 1\ns = \"x\"\nbogus = 2\n", U, 3, "bogus"},
        {"list = {\n name = \"a\"\n nope = 1 }", U, 3, "nope"},  // nested schema
        {"i = \"5\"", W, 1, "i"},                        // quoted number for an integer
        {"f = 1", W, 1, "f"},                            // digit for a flag
        {"i = 1\n\nf = 7", W, 3, "f"},
        {"list = T", W, 1, "list"},
        {"list = { on = 1 }", W, 1, "on"},
        {"s = { x = 1 }", W, 1, "s"},                    // a store for a non-store parameter
        {"nodef = { x = 1 }", W, 1, "nodef"},            // a store list without a schema
        {"list = { sub = { v = \"x\" } }", W, 1, "v"},   // two levels down
    };
    for (const BadRow& r : rows) {
        ParamValStore store;
        Result res = parseText(r.text, store);
        SCOPED_TRACE(r.text);
        EXPECT_FALSE(res.ok);
        EXPECT_EQ(res.error, r.error);
        EXPECT_EQ(res.line, r.line);
        EXPECT_EQ(res.ident, r.ident ? r.ident : "unknown identifier");
    }
}

TEST(CfgFileParser, ReadErrorEndsTheInputAndNothingThrows) {
    // A file stream buffer throws when a read fails; here at the first read.
    for (const char* path : {".", "/proc/self/mem"}) {
        SCOPED_TRACE(path);
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in.is_open());
        ParamValStore store;
        CfgFileParser p;
        bool ok = true;
        EXPECT_NO_THROW(ok = p.parse(in, store, schema().top));
        EXPECT_FALSE(ok);
        EXPECT_EQ(p.getErrorNum(), CfgFileParser::syntaxError);
    }
}

TEST(CfgFileParser, FailedParseKeepsEarlierStatements) {
    ParamValStore store;
    EXPECT_FALSE(parseText("i = 3\nlist = { name = \"a\" }, { bad = 1 }\n", store).ok);
    int32_t i = 0;
    EXPECT_TRUE(store.getInt("i", i));
    EXPECT_EQ(i, 3);
    const ParamVec* list = nullptr;
    EXPECT_FALSE(store.getParamStoreVec("list", list));
}

TEST(CfgFileParser, ValuesAndLexicalRules) {
    ParamValStore s;
    ASSERT_TRUE(parseText("i = 1 s = \"x\"", s).ok);  // two statements on one line
    std::string str;
    int32_t i = 0;
    EXPECT_TRUE(s.getInt("i", i));
    EXPECT_TRUE(s.getString("s", str));
    EXPECT_EQ(str, "x");

    struct IntRow {
        const char* text;
        Cfg::IntVec expect;
    } intRows[] = {
        {"i = -5", {-5}},
        {"i = - 5", {-5}},
        {"i = -\n# comment\n5", {-5}},
        {"i = 5# comment right after the number\n", {5}},
        {"i = 1,\n  2 # comment\n , 3", {1, 2, 3}},
        {"i = 2147483647", {INT32_MAX}},
        {"i = 2147483648", {INT32_MIN}},   // wraps to negative
        {"i = -2147483648", {INT32_MIN}},  // negation done unsigned
        {"i = 4294967297", {1}},
        {"i = -4294967295", {1}},
        {"i = 99999999999999999999", {1661992959}},  // 10^20 - 1 modulo 2^32
        {"i = 007", {7}},
        {"i = 1\ni = 2", {2}},  // the last assignment wins
    };
    for (const IntRow& r : intRows) {
        ParamValStore store;
        SCOPED_TRACE(r.text);
        ASSERT_TRUE(parseText(r.text, store).ok);
        const Cfg::IntVec* v = nullptr;
        ASSERT_TRUE(store.getIntVec("i", v));
        EXPECT_EQ(*v, r.expect);
    }

    struct FlagRow {
        const char* text;
        bool expect;
    } flagRows[] = {{"f = T", true}, {"f = y", true}, {"f = n", false}, {"f=F", false}};
    for (const FlagRow& r : flagRows) {
        ParamValStore store;
        bool f = !r.expect;
        ASSERT_TRUE(parseText(r.text, store).ok) << r.text;
        EXPECT_TRUE(store.getFlag("f", f));
        EXPECT_EQ(f, r.expect) << r.text;
    }

    // Strings keep newlines (counted as lines), tabs, backslashes and '#'.
    ParamValStore m;
    Result res = parseText("s = \"a\nb\", \"\", \"\t\\#\" x = 1", m);
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.line, 2u);
    EXPECT_EQ(res.ident, "x");
    const Cfg::StrVec* sv = nullptr;
    ASSERT_TRUE(m.getStrVec("s", sv));
    EXPECT_EQ(*sv, (Cfg::StrVec{"a\nb", "", "\t\\#"}));
}

TEST(CfgFileParser, CrLfFileParsesLikeLfFile) {
    const std::string lf =
        "# header\nf = T\ni = 1,\n 2\ns = \"a\", \"b\"\n"
        "list = {\n\tname = \"CPU\"\n\tperiod = 1\n}, \n{\n\tname = \"x\" on = n\n}\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    ParamValStore a, b;
    Result ra = parseText(lf, a);
    Result rb = parseText(crlf, b);
    ASSERT_TRUE(ra.ok);
    ASSERT_TRUE(rb.ok);
    EXPECT_EQ(ra.line, rb.line);
    EXPECT_TRUE(a == b);
}

TEST(CfgFileParser, NestingDepthIsBounded) {
    static ParamDefStore self;
    static const ParamDef def = {Cfg::paramVec, 0, "r", "", &self};
    self.putDef(def);
    auto build = [](unsigned n) {  // n nested stores around a wrongly typed r
        std::string open, close;
        for (unsigned k = 0; k < n; ++k) {
            open += "r = { ";
            close += "} ";
        }
        return open + "r = T " + close;
    };
    ParamValStore s;
    Result shallow = parseText(build(10), s, self);
    EXPECT_EQ(shallow.error, CfgFileParser::wrongType);  // reached the bottom
    Result deep = parseText(build(100000), s, self);
    EXPECT_FALSE(deep.ok);
    EXPECT_EQ(deep.error, CfgFileParser::syntaxError);
}

ParamValStore entry(const std::string& name, int32_t period) {
    ParamValStore e;
    e.putStr("name", name);
    e.putInt("period", period);
    return e;
}

std::string dump(const ParamValStore& s, const std::string& indent = "") {
    std::ostringstream out;
    CfgFileParser::dumpCfg(out, indent, s);
    return out.str();
}

TEST(CfgFileParser, DumpTextOfTwoEntryList) {
    ParamValStore s;
    s.putStore("list", entry("CPU", 1));
    s.appendStore("list", entry("Load", 10));
    EXPECT_EQ(dump(s),
              "list = {\n"
              "\tname = \"CPU\"\n"
              "\tperiod = 1\n"
              "}, \n"
              "{\n"
              "\tname = \"Load\"\n"
              "\tperiod = 10\n"
              "}\n");

    ParamValStore t;
    t.putFlag("f", false);
    t.putIntVec("i", {3, -2147483647 - 1, 0});
    t.putStrVec("s", {"a b", ""});
    EXPECT_EQ(dump(t, "  "), "  f = F\n  i = 3, -2147483648, 0\n  s = \"a b\", \"\"\n");
    EXPECT_EQ(dump(ParamValStore()), "");
}

TEST(CfgFileParser, DumpThenParseGivesEqualStore) {
    ParamValStore sub;
    sub.putIntVec("v", {7, -7});
    ParamValStore e1 = entry("first", 1);
    e1.putFlag("on", true);
    e1.putStore("sub", sub);
    e1.appendStore("sub", sub);
    ParamValStore s;
    s.putFlag("f", true);
    s.putIntVec("i", {INT32_MIN, INT32_MAX, 0, 5});
    s.putStrVec("s", {"", "with blanks", "~!@#$%^&*()_+={}[]|\\:;'<>,.?/`"});
    s.putStore("list", e1);
    s.appendStore("list", entry("second", 0));

    std::string text = dump(s);
    ParamValStore back;
    Result r = parseText(text, back);
    ASSERT_TRUE(r.ok) << text;
    EXPECT_TRUE(back == s) << text;
    EXPECT_EQ(dump(back), text);

    // Strings that only a file can hold (newline, tab, CR) survive too.
    ParamValStore parsed;
    ASSERT_TRUE(parseText("s = \"two\r\nlines\tand tab\"", parsed).ok);
    ParamValStore again;
    ASSERT_TRUE(parseText(dump(parsed), again).ok);
    EXPECT_TRUE(again == parsed);
}

TEST(CfgFileParser, DumpLeavesOutListsTheLanguageCannotExpress) {
    ParamValStore s;
    s.putFlag("f", false);
    s.putIntVec("i", {});
    s.putStrVec("s", {});
    s.putStore("list", ParamValStore());         // only an empty store
    s.appendStore("list", ParamValStore());
    s.putStore("nodef", ParamValStore());
    ParamVec* v = nullptr;
    ASSERT_TRUE(s.getStoreVecForUpdate("nodef", v));
    for (ParamValStore* p : *v) delete p;
    v->clear();                                   // an empty store list
    EXPECT_EQ(dump(s), "f = F\n");

    ParamValStore mixed;
    mixed.putStore("list", ParamValStore());
    mixed.appendStore("list", entry("kept", 2));
    std::string text = dump(mixed);
    ParamValStore back;
    ASSERT_TRUE(parseText(text, back).ok) << text;
    ParamValStore expect;
    expect.putStore("list", entry("kept", 2));
    EXPECT_TRUE(back == expect);
}

}  // namespace
