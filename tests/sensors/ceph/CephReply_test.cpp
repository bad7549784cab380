#include "CephReply.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using CephReply::Record;

std::vector<std::string> splitOf(const std::string& text, const char* delims) {
    std::vector<std::string> out;
    CephReply::split(text, delims, out);
    return out;
}

std::vector<Record> parse(const std::string& reply) {
    std::vector<Record> records;
    CephReply::parseValue(reply, records);
    return records;
}

TEST(CephReplySplit, EmptyTokensVanish) {
    typedef std::vector<std::string> V;
    EXPECT_EQ(splitOf("a,b", ","), (V{"a", "b"}));
    EXPECT_EQ(splitOf(",,a,,b,,", ","), (V{"a", "b"}));
    EXPECT_EQ(splitOf("", ","), V{});
    EXPECT_EQ(splitOf(",,,", ","), V{});
    EXPECT_EQ(splitOf("abc", ","), V{"abc"});
    // Any character of the set ends a token.
    EXPECT_EQ(splitOf("a:b,c", ",:"), (V{"a", "b", "c"}));
    // Blanks are kept: nothing is trimmed.
    EXPECT_EQ(splitOf(" a , b ", ","), (V{" a ", " b "}));
}

TEST(CephReplyParse, OneRecordPerLineInReplyOrder) {
    const auto records = parse(
        "cluster_name:c1,kb:100,kb_used:40\n"
        "\n"  // blank lines vanish
        "kb_used:80,cluster_name:c2,kb:200\n");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("cluster_name"), "c1");
    EXPECT_EQ(records[0].at("kb"), "100");
    EXPECT_EQ(records[1].at("cluster_name"), "c2");
    EXPECT_EQ(records[1].at("kb_used"), "80");
}

TEST(CephReplyParse, ItemRules) {
    struct Case {
        const char* line;
        const char* key;
        const char* value;  // null: the key is absent
    };
    const Case cases[] = {
        {"kb:1,kb:2", "kb", "1"},   // a repeated key keeps its first value
        {"kb: 100", "kb", " 100"},  // the value is not trimmed
        {"kb:1:2", "kb", "1"},      // pieces after a second colon are ignored
        {"kb::5", "kb", "5"},       // empty pieces vanish, as in split
        {"kb:,kb:7", "kb", "7"},    // a key without value is no pair...
        {"kb,x:1", "kb", nullptr},  // ...nor is an item without colon
        {" kb:1", "kb", nullptr},   // keys must match exactly
        {"kb:1\r", "kb", "1\r"},    // a carriage return stays in the value
    };
    for (const Case& c : cases) {
        const auto records = parse(std::string(c.line) + "\n");
        ASSERT_EQ(records.size(), 1u) << c.line;
        const auto it = records[0].find(c.key);
        if (c.value == nullptr) {
            EXPECT_TRUE(it == records[0].end()) << c.line;
        } else {
            ASSERT_TRUE(it != records[0].end()) << c.line;
            EXPECT_EQ(it->second, c.value) << c.line;
        }
    }
}

TEST(CephReplyParse, LinesWithoutAnyPairAddNoRecord) {
    // Each of these would otherwise become a row of zeros with an empty name.
    EXPECT_TRUE(parse(",,,\n").empty());
    EXPECT_TRUE(parse("error connecting to cluster\n").empty());
    EXPECT_TRUE(parse("kb:\n").empty());
    EXPECT_TRUE(parse(".\n").empty());
    EXPECT_TRUE(parse("").empty());
    EXPECT_EQ(parse("junk\ncluster_name:c1\n").size(), 1u);
}

TEST(CephReplyNumber, StreamRules) {
    struct Case {
        const char* text;
        uint64_t value;
    };
    const Case cases[] = {
        {"100", 100},
        {" 100", 100},  // leading blanks are skipped
        {"\t42", 42},
        {"100abc", 100},  // digits then anything: the digits
        {"abc", 0},       // no digits
        {"", 0},          // empty
        {"   ", 0},       // only blanks: 0, not a previous value
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", UINT64_MAX},  // beyond the range: the largest
        {"99999999999999999999999", UINT64_MAX},
        {"-1", UINT64_MAX},  // negated modulo 2^64
        {"-5", UINT64_MAX - 4},
        {"+7", 7},
    };
    for (const Case& c : cases) EXPECT_EQ(CephReply::toNumber(c.text), c.value) << c.text;
}

TEST(CephReplyNumber, BlankValueAfterANumberIsZero) {
    const auto records = parse("kb:100,kb_used: ,kb_avail:x\n");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(CephReply::numberOf(records[0], "kb"), 100u);
    EXPECT_EQ(CephReply::numberOf(records[0], "kb_used"), 0u);
    EXPECT_EQ(CephReply::numberOf(records[0], "kb_avail"), 0u);
    EXPECT_EQ(CephReply::numberOf(records[0], "num_objects"), 0u);  // absent
    EXPECT_EQ(CephReply::textOf(records[0], "cluster_name"), "");
}

}  // namespace
