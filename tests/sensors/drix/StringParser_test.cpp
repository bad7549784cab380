#include "StringParser.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

#include "TallyqTestSupport.h"

namespace {

using TallyqTest::CaptureLogger;
using TallyqTest::mapText;

KeyValuesMap_t parse(const std::string& remainder) {
    KeyValuesMap_t map;
    std::istringstream in(remainder);
    parseKeyValue(in, &map);
    return map;
}

TEST(StringParserTest, KeyValueGrammar) {
    const std::string longQuote = "'a " + std::string(300, 'x') + "'";
    const struct {
        std::string remainder;
        std::string expected;  // mapText of the result
    } rows[] = {
        {"a 1 2 _b 3", "_b=3 a=1,2"},
        {"", ""},
        // A key followed directly by a key has no values.
        {"a _b", "_b= a="},
        // A value that begins with "_" is never a value: it starts a key.
        {"a _b_ 1", "_b_=1 a="},
        // Any token can be a key, also one without underscores.
        {"k v w", "k=v,w"},
        // The last occurrence of a key wins.
        {"_a 1 _b 2 _a 3 4", "_a=3,4 _b=2"},
        // Quoted values keep their inner white space and both quotes.
        {"n 'x  y' z _m 1", "_m=1 n='x  y',z"},
        {"n 'one' 'two'", "n='one','two'"},
        // A lone quote counts as opened and closed.
        {"n ' b", "n=',b"},
        // An unclosed quote runs to the end of the line and is closed.
        {"n 'x y", "n='x y'"},
        // Cut at 255 characters with a closing quote; the rest of the line is lost.
        {"q " + longQuote + " _after 1", "q='a " + std::string(254, 'x') + "'"},
    };
    for (const auto& row : rows) {
        const KeyValuesMap_t map = parse(row.remainder);
        EXPECT_EQ(mapText(&map), row.expected) << row.remainder;
    }
    KeyValuesMap_t map;
    std::istringstream empty("   ");
    EXPECT_EQ(parseKeyValue(empty, &map), 0);
    std::istringstream one("k");
    EXPECT_EQ(parseKeyValue(one, &map), 1);
}

// A map owns its text: lines added later, copies and moves keep every key
// and value readable after their source is gone, and lookups find every key
// of a sorted run of near neighbours.
TEST(StringParserTest, FlatMapKeepsItsTextAndOrder) {
    const struct {
        std::vector<std::string> lines;  // parsed in turn into one map
        std::string expected;            // mapText of the result
    } rows[] = {
        // Keys of a later line join the map; an equal key replaces the values.
        {{"_b 1 _a 2", "_c 3 _a 4 5"}, "_a=4,5 _b=1 _c=3"},
        // A later line may drop all values of a key.
        {{"_a 1 2", "_a"}, "_a="},
        {{"   ", "_x 1"}, "_x=1"},
        // Prefixes of one another sort shortest first.
        {{"_ab 1 _a 2 _abc 3 _b 4 _ 5"}, "_=5 _a=2 _ab=1 _abc=3 _b=4"},
        // Bytes above 0x7f sort after the ASCII ones, as std::string compares.
        {{"\xc3\xa9 1 _z 2 _ 3"}, "_=3 _z=2 \xc3\xa9=1"},
    };
    CaptureLogger log;
    for (const auto& row : rows) {
        KeyValuesMap_t map;
        for (const std::string& line : row.lines) parseKeyValue(std::string(line), 0, &map);
        EXPECT_EQ(mapText(&map), row.expected) << row.expected;
        auto copy = std::make_unique<KeyValuesMap_t>(map);
        KeyValuesMap_t assigned;
        assigned = *copy;
        KeyValuesMap_t moved(std::move(*copy));
        copy.reset();
        EXPECT_EQ(moved, map) << row.expected;
        EXPECT_EQ(assigned, map) << row.expected;
        for (const auto& kv : map) {
            const std::string key(kv.first);
            const KeyValuesMap::Values* values = getValues(&moved, key, log, "main");
            ASSERT_NE(values, nullptr) << key;
            ASSERT_EQ(values->size(), kv.second.size()) << key;
            for (std::size_t i = 0; i < values->size(); ++i) {
                EXPECT_EQ((*values)[i], kv.second[i]) << key;
                // Values are NUL-terminated in place, for getValue.
                EXPECT_EQ((*values)[i].data()[(*values)[i].size()], '\0') << key;
            }
            EXPECT_EQ(getValues(&moved, key + "_", log, "main"), nullptr) << key;
        }
        EXPECT_EQ(getValues(&moved, "", log, "main"), nullptr);
        EXPECT_EQ(getValues(&moved, "\xff", log, "main"), nullptr);
    }
    // A quote closed by the parser ends the C string, not the line.
    const KeyValuesMap_t quoted = parse("q 'x y _z 1");
    EXPECT_STREQ(getValue(&quoted, "q", log, "main"), "'x y _z 1'");
    EXPECT_NE(KeyValuesMap_t({{"k", {"1"}}}), KeyValuesMap_t({{"k", {"1", "2"}}}));
    EXPECT_NE(KeyValuesMap_t({{"k", {"1"}}}), KeyValuesMap_t({{"j", {"1"}}}));
}

TEST(StringParserTest, NumbersAreReadByExtractionAndSwapped) {
    const struct {
        std::string text;
        int width;
        uint64_t expected;  // host order
    } rows[] = {
        {"12abc", 32, 12},
        {"abc", 32, 0},           // not a number: 0, still a success
        {"70000", 16, 65535},     // overflow: the maximum
        {"-1", 32, 0xFFFFFFFFu},  // minus wraps
        {"-1", 64, std::numeric_limits<uint64_t>::max()},
        {"99999999999999999999", 64, std::numeric_limits<uint64_t>::max()},
        {"4294967296", 32, 0xFFFFFFFFu},
        {"  7", 16, 7},
    };
    CaptureLogger log;
    for (const auto& row : rows) {
        const KeyValuesMap_t map = {{"k", {row.text}}};
        if (row.width == 16) {
            uint16_t v = 1;
            EXPECT_TRUE(getInt16(&map, "k", v, log, "main"));
            EXPECT_EQ(v, htobe16(static_cast<uint16_t>(row.expected))) << row.text;
        } else if (row.width == 32) {
            uint32_t v = 1;
            EXPECT_TRUE(getInt32(&map, "k", v, log, "main"));
            EXPECT_EQ(v, htobe32(static_cast<uint32_t>(row.expected))) << row.text;
        } else {
            uint64_t v = 1;
            EXPECT_TRUE(getInt64(&map, "k", v, log, "main"));
            EXPECT_EQ(v, htobe64(row.expected)) << row.text;
        }
    }
    const KeyValuesMap_t map = {{"k", {"12abc"}}};
    uint32_t v = 0;
    ASSERT_TRUE(getInt32(&map, "k", v, log, "main"));
    const unsigned char wire[4] = {0, 0, 0, 0x0C};
    EXPECT_EQ(std::memcmp(&v, wire, 4), 0);
    EXPECT_TRUE(log.lines.empty());
}

// Doubles are read as formatted extraction reads them: only a sign, digits,
// a point and an exponent with digits make a number, and what is taken must
// read whole.
TEST(StringParserTest, DoublesAreReadByExtraction) {
    const double max = std::numeric_limits<double>::max();
    const struct {
        std::string text;
        double expected;
    } rows[] = {
        {"1.5", 1.5},
        {"  2.5", 2.5},
        {".5", 0.5},
        {"1.5.3", 1.5},   // a second point ends the number
        {"12abc", 12},
        {"2e3x", 2000},
        {"abc", 0},       // not a number
        {"inf", 0},       // no words
        {"nan", 0},
        {"0x10", 0},      // no hexadecimal: the number is "0"
        {"1e", 0},        // an exponent without digits spoils the whole
        {"1e+", 0},
        {"-", 0},
        {"'1 2'", 0},     // a quoted value
        {"1e400", max},   // overflow: the largest value of its sign
        {"-1e400", -max},
    };
    CaptureLogger log;
    for (const auto& row : rows) {
        const KeyValuesMap_t map = {{"k", {row.text}}};
        double v = 7;
        EXPECT_TRUE(getDouble(&map, "k", v, log, "main"));
        EXPECT_EQ(v, row.expected) << row.text;
    }
}

TEST(StringParserTest, SecondsToMicros) {
    const struct {
        double seconds;
        uint64_t micros;
    } rows[] = {
        {0.0000004, 0},
        {0.0000005, 1},
        {0.0000006, 1},
        {0.0000014, 1},
        {0.0000015, 2},
        {1.5, 1500000},
        {-1, 0},
        {std::nan(""), 0},
        {-INFINITY, 0},
        {INFINITY, std::numeric_limits<uint64_t>::max()},
        {1e300, std::numeric_limits<uint64_t>::max()},
        {std::numeric_limits<double>::max(), std::numeric_limits<uint64_t>::max()},
        // 2^63 microseconds and above stay exact in the upper half.
        {9223372036854.775808, 9223372036854775808ull},
        {18446744073709.551616, std::numeric_limits<uint64_t>::max()},
    };
    for (const auto& row : rows) EXPECT_EQ(secondsToMicros(row.seconds), row.micros) << row.seconds;
}

TEST(StringParserTest, PairsQuadsAndArrays) {
    CaptureLogger log;
    const KeyValuesMap_t map = {{"p", {"3", "0.0000015"}},
                                {"p2", {"3", "0.0000014"}},
                                {"p3", {"3", "1.5"}},
                                {"three", {"1", "2", "3"}},
                                {"q", {"4", "1", "0.5", "1e400"}},
                                {"six", {"1", "2", "3", "4", "5", "6"}},
                                {"four", {"1", "2", "3", "4"}}};
    const struct {
        const char* key;
        uint64_t micros;
    } pairs[] = {{"p", 2}, {"p2", 1}, {"p3", 1500000}};
    for (const auto& row : pairs) {
        uint32_t count = 0;
        uint64_t micros = 0;
        ASSERT_TRUE(getIFPair(&map, row.key, count, micros, log, "ifpair")) << row.key;
        EXPECT_EQ(count, htobe32(3));
        EXPECT_EQ(micros, htobe64(row.micros)) << row.key;
    }

    // A wrong count fails without a message and leaves the outputs alone.
    uint32_t a = 7, b = 8;
    EXPECT_FALSE(getIIPair(&map, "three", a, b, log, "iipair"));
    EXPECT_EQ(a, 7u);
    EXPECT_EQ(b, 8u);
    uint64_t m1 = 0, m2 = 0, m3 = 0;
    uint32_t count = 0;
    EXPECT_FALSE(getIFFFQuad(&map, "three", count, m1, m2, m3, log, "ifffquad"));
    EXPECT_FALSE(getIFPair(&map, "three", count, m1, log, "ifpair"));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(log.lines.empty());
    // "1e400" reads as the largest double: the top of the u64 range, not undefined.
    ASSERT_TRUE(getIFFFQuad(&map, "q", count, m1, m2, m3, log, "ifffquad"));
    EXPECT_EQ(count, htobe32(4));
    EXPECT_EQ(m1, htobe64(1000000));
    EXPECT_EQ(m2, htobe64(500000));
    EXPECT_EQ(m3, std::numeric_limits<uint64_t>::max());

    uint64_t out[5];
    std::fill(out, out + 5, 99);
    EXPECT_TRUE(getInt64Array(&map, "six", out, 5, log, "mainArray"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], htobe64(i + 1));
    std::fill(out, out + 5, 99);
    EXPECT_FALSE(getInt64Array(&map, "four", out, 5, log, "mainArray"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], 0u);
    EXPECT_TRUE(log.lines.empty());
}

TEST(StringParserTest, LookupFailuresAndTheirMessages) {
    const KeyValuesMap_t map = {{"two", {"1", "2"}}, {"none", {}}};
    const struct {
        const KeyValuesMap_t* map;
        const char* key;
        const char* message;  // "" for none
    } rows[] = {
        {nullptr, "k", "Debug: No values in: 'read'"},
        {&map, "k", "Debug: Key 'k' not found in 'read'"},
        {&map, "two", "Debug: No values for key: 'two'"},
        {&map, "none", "Debug: No values for key: 'none'"},
    };
    for (const auto& row : rows) {
        CaptureLogger log;
        uint32_t v = 5;
        double d = 5;
        EXPECT_FALSE(getInt32(row.map, row.key, v, log, "read"));
        EXPECT_FALSE(getDouble(row.map, row.key, d, log, "read"));
        EXPECT_EQ(getValue(row.map, row.key, log, "read"), nullptr);
        EXPECT_EQ(v, 0u);
        EXPECT_EQ(d, 0.0);
        ASSERT_EQ(log.lines.size(), 3u);
        for (const std::string& l : log.lines) EXPECT_EQ(l, row.message);
    }
    // getValues hands back any count, only a missing map or key fails.
    CaptureLogger log;
    ASSERT_NE(getValues(&map, "none", log, "main"), nullptr);
    EXPECT_TRUE(getValues(&map, "none", log, "main")->empty());
    EXPECT_EQ(getValues(&map, "two", log, "main")->size(), 2u);
    EXPECT_EQ(getValues(nullptr, "two", log, "main"), nullptr);
    EXPECT_EQ(log.lines.size(), 1u);

    // The record getters name their part.
    TallyqResponse* reply = nullptr;
    {
        TallyqReplyReader reader;
        const std::string text = "_event_ n k 1\n";
        reader.feed(text.data(), text.size());
        reply = reader.take();
    }
    ASSERT_EQ(reply->getNumRecords(), 1u);
    const TallyqRecord& rec = reply->getRecordList()[0];
    CaptureLogger recLog;
    uint32_t v = 0, w = 0;
    uint64_t u = 0;
    EXPECT_FALSE(rec.getInt32Read("k", v, recLog));
    EXPECT_FALSE(rec.getInt64Stat("k", u, recLog));
    EXPECT_FALSE(rec.getIntIntPairMain("x", v, w, recLog));
    EXPECT_FALSE(rec.getInt64ArrayMain("x", &u, 1, recLog));
    EXPECT_TRUE(rec.getInt32Main("k", v, recLog));
    EXPECT_EQ(v, htobe32(1));
    EXPECT_EQ(recLog.lines, (std::vector<std::string>{"Debug: No values in: 'read'",
                                                      "Debug: No values in: 'stat'",
                                                      "Debug: Key 'x' not found in 'iipair'",
                                                      "Debug: Key 'x' not found in 'mainArray'"}));
    delete reply;
}

}  // namespace
