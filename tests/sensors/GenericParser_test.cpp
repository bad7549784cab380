#include "GenericParser.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Keeps every line as "<severity letter>:<message>".
class CaptureLogger : public Logger {
  public:
    mutable std::vector<std::string> lines;
#define CAPTURE(letter)                       \
    char buf[2048];                           \
    va_list ap;                               \
    va_start(ap, fmt);                        \
    std::vsnprintf(buf, sizeof buf, fmt, ap); \
    va_end(ap);                               \
    lines.push_back(std::string(letter) + buf)
    void logDebug(const char* fmt, ...) const override { CAPTURE("D:"); }
    void logInfo(const char* fmt, ...) const override { CAPTURE("I:"); }
    void logWarning(const char* fmt, ...) const override { CAPTURE("W:"); }
    void logError(const char* fmt, ...) const override { CAPTURE("E:"); }
    void logFatalAndStop(const char* fmt, ...) const override { CAPTURE("F:"); }
#undef CAPTURE
};

std::string dumpMap(const GenericParser::ElemMap& m) {
    std::string s = "{";
    for (const auto& kv : m) s += (s.size() > 1 ? "," : "") + kv.first + "=" + kv.second;
    return s + "}";
}

// "K{name=value,...}V{...}" per record, joined by ";".
std::string dump(const std::vector<GenericParser::Record>& res) {
    std::string s;
    for (const auto& rec : res) {
        if (!s.empty()) s += ";";
        EXPECT_EQ(rec.size(), 2u);
        auto k = rec.find(GenericParser::KEY);
        auto v = rec.find(GenericParser::VAL);
        s += "K" + (k == rec.end() ? std::string("?") : dumpMap(k->second));
        s += "V" + (v == rec.end() ? std::string("?") : dumpMap(v->second));
    }
    return s;
}

const std::string B = "_response_ begin\n";
const std::string E = "_response_ end\n";

struct Case {
    const char* what;
    std::string resp;
    std::string records;
    std::vector<std::string> log;
    bool prevState = true;
};

TEST(GenericParser, RepliesAndMessages) {
    const std::vector<Case> cases = {
        {"worked example",
         B + "_key_ node:alpha disk:sda\n_val_ reads:120 writes:7\n" +
             "_key_ node:alpha disk:sdb\n_val_ reads:3 writes:0\n" + E,
         "K{disk=sda,node=alpha}V{reads=120,writes=7};K{disk=sdb,node=alpha}V{reads=3,writes=0}",
         {}},
        {"end line without final LF",
         B + "_key_ a:1\n_val_ x:2\n_response_ end",
         "K{a=1}V{x=2}",
         {}},
        {"CR LF lines, blank lines and lines of blanks",
         "\r\n" +
             std::string(
                 "_response_ begin\r\n  \t \r\n_key_ a:1\r\n\n_val_ x:2\r\n_response_ end\r\n"),
         "K{a=1}V{x=2}",
         {}},
        {"only begin and end", B + E, "", {}},
        // Text in front of the begin line is no tag.
        {"unrecognised lines",
         "hello there\n" + B + "  junk  \n_key_ a:1\n_val_ x:2\n" + E,
         "K{a=1}V{x=2}",
         {"W:Unrecognized input line: \"hello there\", ignored.",
          "W:Unrecognized input line: \"junk\", ignored."}},
        {"key before begin",
         "_key_ a:1\n" + B + E,
         "",
         {"E:_key_ received before _response_ begin, ignoring response."}},
        {"val before begin",
         "_val_ a:1\n" + B + E,
         "",
         {"E:_val_ received before _response_ begin, ignoring response."}},
        {"end before begin",
         E + B,
         "",
         {"E:_response_ end received before _response_ begin, ignoring response."}},
        {"begin repeated",
         B + "_key_ a:1\n_val_ x:2\n" + B + E,
         "",
         {"E:Repeat of _response_ begin, ignoring response."}},
        {"begin line with more text still opens",
         "_response_ beginning\n_key_ a:1\n_val_ x:2\n" + E,
         "K{a=1}V{x=2}",
         {}},
        // Bytes after the end line (its own LF included) are counted, not read.
        {"bytes after the end line",
         B + "_key_ a:1\n_val_ x:2\n" + E + "_key_ b:2\nxx",
         "K{a=1}V{x=2}",
         {"W:12 characters ignored beyond _response_ end"}},
        {"end line with more text ends too",
         B + "_key_ a:1\n_val_ x:2\n_response_ endless\n",
         "K{a=1}V{x=2}",
         {}},
        {"not terminated keeps the records",
         B + "_key_ a:1\n_val_ x:2\n_key_ b:1\n",
         "K{a=1}V{x=2}",
         {"W:Response not terminated with _response_ end"}},
        {"unmatched key elements dropped",
         B + "_key_ a:1\n_key_ b:2\n_val_ x:5\n" + E,
         "K{b=2}V{x=5}",
         {"W:Key element set present but has no corresponding metric values, ignoring unmatched "
          "key elements."}},
        {"key without val before the end line",
         B + "_key_ a:1\n_val_ x:5\n_key_ b:2\n" + E,
         "K{a=1}V{x=5}",
         {}},
        {"val without key",
         B + "_val_ x:5\n" + E,
         "",
         {"E:Metric values defined without associated key elements, ignoring response."}},
        // The second val line has no key line of its own; the first record goes too.
        {"second val after a record",
         B + "_key_ a:1\n_val_ x:5\n_val_ y:6\n" + E,
         "",
         {"E:Metric values defined without associated key elements, ignoring response."}},
        {"bare key tag",
         B + "_key_\n_val_ x:1\n" + E,
         "",
         {"E:Tag _key_ is present, but no value for key, ignoring response"}},
        {"key tag and blanks",
         B + "_key_   \t\n" + E,
         "",
         {"E:Tag _key_ is present, but no value for key, ignoring response"}},
        {"bare val tag",
         B + "_key_ a:1\n_val_\n" + E,
         "",
         {"E:Tag _val_ present, but no values provided, ignoring response."}},
        // The character after the tag is skipped unseen.
        {"one character after the tag", B + "_key_x\n_val_ v:1\n" + E, "K{}V{v=1}", {}},
        {"no blank after the tag", B + "_key_ab:1\n_val_ v:1\n" + E, "K{b=1}V{v=1}", {}},
        {"runs of blanks and tabs",
         B + "_key_\ta:1 \t  b:2\t\n_val_  \tx:1\t\ty:2\n" + E,
         "K{a=1,b=2}V{x=1,y=2}",
         {}},
        {"colons in values, empty names and values",
         B + "_key_ t:12:30 :x y:\n_val_ v:1\n" + E,
         "K{=x,t=12:30,y=}V{v=1}",
         {}},
        {"repeated name keeps the last",
         B + "_key_ a:1 a:2\n_val_ x:1 x:9\n" + E,
         "K{a=2}V{x=9}",
         {}},
        {"key element without colon",
         B + "_key_ a:1\n_val_ x:1\n_key_ abc\n_val_ x:1\n" + E,
         "",
         {"W:Unable to parse key element abc, missing \":\", ignoring response."}},
        {"value element without colon",
         B + "_key_ a:1\n_val_ x:1 y\n" + E,
         "",
         {"W:Unable to parse value element y, missing \":\", ignoring response."}},
        {"error line discards everything",
         B + "_key_ a:1\n_val_ x:1\n_error_   broken pipe  \n" + E,
         "",
         {"E:proxy \"sub cmd\" command failed: broken pipe"}},
        {"error line before begin",
         "_error_ nope\n",
         "",
         {"E:proxy \"sub cmd\" command failed: nope"}},
        {"error line unlogged after a failed sample", B + "_error_ nope\n" + E, "", {}, false},
        // Framing errors are logged whatever the previous sample did.
        {"framing error after a failed sample",
         "_key_ a:1\n",
         "",
         {"E:_key_ received before _response_ begin, ignoring response."},
         false},
    };
    GenericParser gp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CaptureLogger log;
        std::vector<GenericParser::Record> res;
        gp.parseResponse("sub cmd", c.resp, res, log, c.prevState);
        EXPECT_EQ(dump(res), c.records);
        EXPECT_EQ(log.lines, c.log);
    }
}

TEST(GenericParser, EmptyReplyLeavesResultAlone) {
    GenericParser gp;
    CaptureLogger log;
    std::vector<GenericParser::Record> res(1);
    gp.parseResponse("x", "", res, log, true);
    EXPECT_EQ(res.size(), 1u);
    EXPECT_TRUE(log.lines.empty());
}

TEST(GenericParser, RejectionEmptiesWhatTheCallerHad) {
    GenericParser gp;
    CaptureLogger log;
    std::vector<GenericParser::Record> res(2);
    gp.parseResponse("x", "_val_ a:1\n", res, log, true);
    EXPECT_TRUE(res.empty());

    // Accepted replies append.
    res.resize(1);
    gp.parseResponse("x", B + "_key_ a:1\n_val_ x:1\n" + E, res, log, true);
    EXPECT_EQ(res.size(), 2u);
}

TEST(GenericParser, KeyValuesMustBeReadableText) {
    struct Bytes {
        const char* what;
        std::string value;
        bool valid;
    };
    const std::vector<Bytes> values = {
        {"empty", "", true},
        {"ascii", "sda-1_x.y", true},
        {"two-byte letter", "\xC3\xA9", true},
        {"three-byte", "\xE2\x82\xAC", true},
        {"four-byte", "\xF0\x9F\x98\x80", true},
        {"last code point", "\xF4\x8F\xBF\xBF", true},
        {"overlong C0 80 is not refused", "\xC0\x80", true},
        {"NUL", std::string("a\0b", 3), false},
        {"control below 0x20", "a\x01", false},
        {"DEL", "a\x7F", false},
        {"C1 control U+0085", "\xC2\x85", false},
        {"C1 control U+009F", "\xC2\x9F", false},
        {"U+00A0 is fine", "\xC2\xA0", true},
        {"surrogate", "\xED\xA0\x80", false},
        {"stray continuation", "\x80", false},
        {"lead F8", "\xF8\x80\x80\x80\x80", false},
        {"lead FF", "\xFF", false},
        {"cut-off two-byte", "a\xC3", false},
        {"cut-off four-byte", "\xF0\x9F\x98", false},
        {"bad continuation", "\xE2\x28\xA1", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
    };
    GenericParser gp;
    for (const Bytes& b : values) {
        SCOPED_TRACE(b.what);
        EXPECT_EQ(gp.validString(b.value), b.valid);

        // In a key line the value decides; in a value line and in names
        // anything is stored as it is. Blanks and line ends cannot occur
        // inside an element, so those bytes are left out here.
        if (b.value.find_first_of(std::string(" \t\n\r\0", 5)) != std::string::npos) continue;
        CaptureLogger log;
        std::vector<GenericParser::Record> res;
        gp.parseResponse("x", B + "_key_ k:" + b.value + "\n_val_ v:1\n" + E, res, log, true);
        EXPECT_EQ(res.size(), b.valid ? 1u : 0u);
        if (!b.valid) {
            ASSERT_EQ(log.lines.size(), 1u);
            EXPECT_EQ(log.lines[0], "W:Key value for key element k not a readable string (" +
                                        b.value.substr(0, b.value.find('\0')) +
                                        "), ignoring response.");
        }
        res.clear();
        gp.parseResponse("x", B + "_key_ k" + b.value + ":1\n_val_ v:" + b.value + "\n" + E, res,
                         log, true);
        ASSERT_EQ(res.size(), 1u);
        EXPECT_EQ(res[0][GenericParser::VAL]["v"], b.value);
    }
}

}  // namespace
