// What the host sensors share: the reader of their /proc file, the scanning
// helpers their parsers are built from, and the "key=regex" exclude filter.
//
// Every object here belongs to one sensor and is touched only by that
// sensor's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

class Logger;

// The /proc file a host sensor samples. init opens it once and it stays open
// for the sensor's life: each sample reads it whole from offset 0, after which
// the reader's error state is cleared and it is rewound, so the next sample
// sees the kernel's current table (and a test fixture rewritten in place).
class ProcFile {
  public:
    // productionPath is the path on a real host ("/proc/stat"); the file
    // opened is Platform::path of it. It names the file in messages.
    explicit ProcFile(const char* productionPath);
    ~ProcFile();
    ProcFile(const ProcFile&) = delete;
    ProcFile& operator=(const ProcFile&) = delete;

    // Clears the error state and opens the file for reading. True when the
    // reader is clean afterwards.
    bool open();
    // Reads the whole file; the view stays valid until the next read. False
    // when the file is not open or a read fails. Clears and rewinds the
    // reader in every case.
    bool read(std::string_view& text);
    // Open, and the last rewind worked.
    bool isClean() const { return fd >= 0 && !failed; }
    // A failed close leaves the reader in its error state.
    void close();

    const char* name() const { return productionPath; }

  private:
    void rewind();

    const char* const productionPath;
    int fd = -1;
    bool failed = false;
    // Keeps its size from sample to sample. Not zero-filled: only the pages a
    // read fills are touched, most of the buffer never is.
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0;
};

// Scanning of /proc text. Each reader skips leading white space (as the C
// locale defines it), consumes what it read from the front of `s` and leaves
// `s` unchanged when nothing could be read.
namespace ProcText {

inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Splits off the next line (without its '\n'); false at the end of the text.
inline bool nextLine(std::string_view& text, std::string_view& line) {
    if (text.empty()) return false;
    const size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
        line = text;
        text = std::string_view();
    } else {
        line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
    }
    return true;
}

inline void skipSpace(std::string_view& s) {
    size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    s.remove_prefix(i);
}

// The next run of non-blank characters; empty at the end of the line.
inline std::string_view readWord(std::string_view& s) {
    skipSpace(s);
    size_t i = 0;
    while (i < s.size() && !isSpace(s[i])) ++i;
    std::string_view word = s.substr(0, i);
    s.remove_prefix(i);
    return word;
}

// Unsigned decimal, an optional '+' first; false on no digits or overflow.
bool readU64(std::string_view& s, uint64_t& value);
bool readU32(std::string_view& s, uint32_t& value);
// Signed decimal, an optional sign first; false on no digits or overflow.
bool readI64(std::string_view& s, int64_t& value);
// Decimal floating point, as strtod reads it in the C locale.
bool readDouble(std::string_view& s, double& value);

}  // namespace ProcText

// The exclude filter of a host sensor. The sensor's `filter` setting has the
// form "<key>=<regex>"; when <key> is this sensor's filter key, rows whose
// key string the regular expression (ECMAScript grammar) matches in full are
// left out. Any other setting leaves the filter off.
class ExcludeFilter {
  public:
    explicit ExcludeFilter(const char* filterKey) : filterKey(filterKey) {}

    // Takes the sensor's current filter setting; compiles it only when it
    // changed. An expression that does not compile is reported once as an
    // error and the sensor then runs unfiltered.
    void update(const std::string& setting, const Logger& log);

    bool isOn() const { return on; }
    const std::string& pattern() const { return patternText; }
    // True when the filter is on and matches the whole key.
    bool excludes(std::string_view key) const;

  private:
    const char* const filterKey;
    std::string setting;
    bool configured = false;
    bool on = false;
    std::string patternText;
    std::regex regex;
};
