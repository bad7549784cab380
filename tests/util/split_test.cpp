#include "split.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Pieces;

TEST(Split, BothModes) {
    const struct {
        const char* text;
        const char* delimiters;
        bool includeBlanks;
        Pieces expected;
    } rows[] = {
        {"a,,b,", ",", false, {"a", "b"}},
        {",a", ",", false, {"a"}},
        {"", ",", false, {}},
        {",,,", ",", false, {}},
        {"CPU, Memory", ", ", false, {"CPU", "Memory"}},  // any delimiter character cuts
        {"h:p:q", ":", false, {"h", "p", "q"}},
        {"abc", "", false, {"abc"}},
        // Kept: the empty pieces before and between delimiters, never the one
        // after the last delimiter.
        {"a,,b,", ",", true, {"a", "", "b"}},
        {",a", ",", true, {"", "a"}},
        {",", ",", true, {""}},
        {"", ",", true, {}},
        // The colon-format listings' field rule, both modes.
        {"a:b:", ":", true, {"a", "b"}},
        {"a::b", ":", true, {"a", "", "b"}},
        {":", ":", true, {""}},
        {"", ":", true, {}},
        {"a:b:", ":", false, {"a", "b"}},
        {"a::b", ":", false, {"a", "b"}},
        {":", ":", false, {}},
        {"", ":", false, {}},
    };
    for (const auto& r : rows) {
        Pieces out{"kept"};  // appended to, never cleared
        split(r.text, r.delimiters, out, r.includeBlanks);
        Pieces expected{"kept"};
        expected.insert(expected.end(), r.expected.begin(), r.expected.end());
        EXPECT_EQ(out, expected) << "'" << r.text << "' blanks " << r.includeBlanks;
    }
}

}  // namespace
