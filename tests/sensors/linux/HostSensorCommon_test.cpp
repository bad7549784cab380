#include "HostSensorCommon.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "HostSensorTestUtil.h"

namespace {

using hosttest::CaptureLogger;

class ProcFileTest : public hosttest::ProcRoot {};

TEST_F(ProcFileTest, ReadsTheWholeFileAfreshEachTime) {
    put("/proc/stat", "first version\n");
    ProcFile file("/proc/stat");
    EXPECT_STREQ(file.name(), "/proc/stat");
    ASSERT_TRUE(file.open());
    std::string_view text;
    ASSERT_TRUE(file.read(text));
    EXPECT_EQ(text, "first version\n");
    ASSERT_TRUE(file.read(text));
    EXPECT_EQ(text, "first version\n") << "rewound after the read";

    // Rewritten in place, shorter and then much longer than the first buffer.
    put("/proc/stat", "2nd\n");
    ASSERT_TRUE(file.read(text));
    EXPECT_EQ(text, "2nd\n");
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + "\n";
    put("/proc/stat", big);
    ASSERT_TRUE(file.read(text));
    EXPECT_EQ(text, big);
    EXPECT_TRUE(file.isClean());

    file.close();
    EXPECT_FALSE(file.isClean());
    EXPECT_FALSE(file.read(text));
    EXPECT_TRUE(text.empty());
}

TEST_F(ProcFileTest, MissingFileStaysUnclean) {
    ProcFile file("/proc/nonexistent");
    EXPECT_FALSE(file.open());
    std::string_view text;
    EXPECT_FALSE(file.read(text));
    EXPECT_FALSE(file.isClean());
    // A file that appears later is not picked up: the sensor opens once.
    put("/proc/nonexistent", "x");
    EXPECT_FALSE(file.read(text));
}

TEST(ProcText, Readers) {
    std::string_view s = "  42 rest";
    uint64_t u = 0;
    ASSERT_TRUE(ProcText::readU64(s, u));
    EXPECT_EQ(u, 42u);
    EXPECT_EQ(s, " rest");
    EXPECT_FALSE(ProcText::readU64(s, u)) << "not a number";
    EXPECT_EQ(s, " rest") << "unchanged after a failed read";
    EXPECT_EQ(ProcText::readWord(s), "rest");
    EXPECT_EQ(ProcText::readWord(s), "");

    struct U64Case {
        const char* text;
        bool ok;
        uint64_t value;
    };
    const U64Case u64[] = {
        {"18446744073709551615", true, std::numeric_limits<uint64_t>::max()},
        {"18446744073709551616", false, 0},  // one past the largest
        {"+7", true, 7},
        {"-7", false, 0},  // no negative counters
        {"\t\n\v\f\r 9", true, 9},
        {"", false, 0},
    };
    for (const auto& c : u64) {
        std::string_view t = c.text;
        uint64_t v = 0;
        EXPECT_EQ(ProcText::readU64(t, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }

    uint32_t u32 = 0;
    std::string_view big = "4294967296";
    EXPECT_FALSE(ProcText::readU32(big, u32));
    EXPECT_EQ(big, "4294967296");
    int64_t i64 = 0;
    std::string_view neg = "-9223372036854775808 +5 +-1";
    ASSERT_TRUE(ProcText::readI64(neg, i64));
    EXPECT_EQ(i64, std::numeric_limits<int64_t>::min());
    ASSERT_TRUE(ProcText::readI64(neg, i64));
    EXPECT_EQ(i64, 5);
    EXPECT_FALSE(ProcText::readI64(neg, i64));
    double d = 0;
    std::string_view dbl = "0.52 2/1";
    ASSERT_TRUE(ProcText::readDouble(dbl, d));
    EXPECT_EQ(d, 0.52);
    ASSERT_TRUE(ProcText::readDouble(dbl, d));
    EXPECT_EQ(d, 2.0);
    EXPECT_FALSE(ProcText::readDouble(dbl, d));
    // A decimal number only: "0x" ends after the 0, a second sign or a run
    // longer than any number is refused.
    std::string_view more = "-1.5e3 0x10 +-1";
    ASSERT_TRUE(ProcText::readDouble(more, d));
    EXPECT_EQ(d, -1500.0);
    ASSERT_TRUE(ProcText::readDouble(more, d));
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(more, "x10 +-1");
    more = "+-1";
    EXPECT_FALSE(ProcText::readDouble(more, d));
    const std::string tooLong(80, '1');
    more = tooLong;
    EXPECT_FALSE(ProcText::readDouble(more, d));

    std::string_view text = "a\n\nb";
    std::string_view line;
    std::vector<std::string_view> lines;
    while (ProcText::nextLine(text, line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "", "b"}));
}

TEST(ExcludeFilter, Settings) {
    struct Case {
        const char* setting;
        bool on;
        const char* pattern;
    };
    const Case cases[] = {
        {"", false, ""},
        {"netdev_name", false, ""},      // key without pattern
        {"netdev_name=", false, ""},     // empty pattern piece is dropped
        {"mountPoint=/tmp", false, ""},  // another sensor's key
        {"Netdev_name=lo", false, ""},   // keys are case-sensitive
        {"netdev_name=lo|br.*", true, "lo|br.*"},
        {"==netdev_name==lo", true, "lo"},  // empty pieces are dropped
        {"netdev_name=a=b", true, "a"},     // the pattern ends at the next '='
    };
    CaptureLogger log;
    for (const Case& c : cases) {
        ExcludeFilter f("netdev_name");
        f.update(c.setting, log);
        EXPECT_EQ(f.isOn(), c.on) << c.setting;
        EXPECT_EQ(f.pattern(), c.pattern) << c.setting;
    }
    EXPECT_TRUE(log.lines.empty());
}

TEST(ExcludeFilter, MatchesWholeKeysOnly) {
    CaptureLogger log;
    ExcludeFilter f("mountPoint");
    f.update("mountPoint=/var.*|/tmp", log);
    EXPECT_TRUE(f.excludes("/tmp"));
    EXPECT_TRUE(f.excludes("/var/log"));
    EXPECT_FALSE(f.excludes("/tmp2"));
    EXPECT_FALSE(f.excludes("/home/var"));
    EXPECT_FALSE(f.excludes(""));
}

TEST(ExcludeFilter, InvalidPatternIsReportedOnceThenIgnored) {
    CaptureLogger log;
    ExcludeFilter f("netdev_name");
    for (int i = 0; i < 3; ++i) f.update("netdev_name=eth[", log);
    EXPECT_FALSE(f.isOn());
    EXPECT_FALSE(f.excludes("eth["));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind("Error: Filter eth[ is not a valid regular expression (", 0), 0u)
        << log.lines[0];

    // A later valid setting takes effect.
    f.update("netdev_name=eth.", log);
    EXPECT_TRUE(f.isOn());
    EXPECT_TRUE(f.excludes("eth0"));
    EXPECT_EQ(log.lines.size(), 1u);
}

}  // namespace
