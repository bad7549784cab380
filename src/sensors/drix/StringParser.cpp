#include "StringParser.h"

#include <endian.h>

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

// White space as the classic locale has it, which formatted extraction uses.
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Numbers are read the way formatted extraction in the classic locale reads
// them, without a stream (a stream costs more than the number): leading white
// space is skipped, a leading number counts, anything else gives 0.

// An unsigned integer: an overflow gives the type's maximum, a leading minus
// wraps modulo the width.
template <typename T>
T readNumber(const char* p, const char* end) {
    while (p != end && isSpace(*p)) ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const T max = std::numeric_limits<T>::max();
    T value = 0;
    bool overflow = false;
    for (; p != end && *p >= '0' && *p <= '9'; ++p) {
        const T digit = static_cast<T>(*p - '0');
        if (value > max / 10 || static_cast<T>(value * 10) > max - digit) overflow = true;
        value = static_cast<T>(value * 10 + digit);
    }
    if (overflow) return max;
    return negative ? static_cast<T>(-value) : value;
}

// A double: only a sign, digits, one decimal point and an exponent with
// digits make a number ("inf", "nan" and hexadecimal do not); what is taken
// must read whole ("1e" gives 0), and an overflow gives the largest finite
// value of its sign.
template <>
double readNumber<double>(const char* p, const char* end) {
    while (p != end && isSpace(*p)) ++p;
    const char* const start = p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    bool mantissa = false;
    bool point = false;
    bool exponent = false;
    while (p != end) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            mantissa = true;
        } else if (c == '.' && !point && !exponent) {
            point = true;
        } else if ((c == 'e' || c == 'E') && !exponent && mantissa) {
            exponent = true;
            if (p + 1 != end && (p[1] == '+' || p[1] == '-')) ++p;
        } else {
            break;
        }
        ++p;
    }
    const std::size_t len = static_cast<std::size_t>(p - start);
    if (len == 0) return 0.0;
    // strtod needs the taken text alone and terminated; the C locale keeps
    // the decimal point a point whatever the process's locale.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char small[64];
    std::string large;
    const char* text = small;
    if (len < sizeof small) {
        std::memcpy(small, start, len);
        small[len] = '\0';
    } else {
        large.assign(start, len);
        text = large.c_str();
    }
    char* stop = nullptr;
    const double value = strtod_l(text, &stop, cLocale);
    if (stop != text + len) return 0.0;
    if (value == std::numeric_limits<double>::infinity()) return std::numeric_limits<double>::max();
    if (value == -std::numeric_limits<double>::infinity()) return -std::numeric_limits<double>::max();
    return value;
}

template <typename T>
T readNumber(const std::string& text) {
    return readNumber<T>(text.data(), text.data() + text.size());
}

uint64_t readMicros(const std::string& text) { return secondsToMicros(readNumber<double>(text)); }

const std::vector<std::string>* lookup(const KeyValuesMap_t* map, const std::string& key,
                                       const Logger& log, const char* context) {
    if (map == nullptr) {
        log.logDebug("No values in: '%s'", context);
        return nullptr;
    }
    KeyValuesMap_t::const_iterator it = map->find(key);
    if (it == map->end()) {
        log.logDebug("Key '%s' not found in '%s'", key.c_str(), context);
        return nullptr;
    }
    return &it->second;
}

// The key's one value, or null (with the message) when it has another count.
const std::string* single(const KeyValuesMap_t* map, const std::string& key, const Logger& log,
                          const char* context) {
    const std::vector<std::string>* values = lookup(map, key, log, context);
    if (values == nullptr) return nullptr;
    if (values->size() != 1) {
        log.logDebug("No values for key: '%s'", key.c_str());
        return nullptr;
    }
    return &values->front();
}

// The key's values when there are exactly count of them; no message otherwise.
const std::vector<std::string>* exactly(const KeyValuesMap_t* map, const std::string& key,
                                        std::size_t count, const Logger& log, const char* context) {
    const std::vector<std::string>* values = lookup(map, key, log, context);
    if (values == nullptr || values->size() != count) return nullptr;
    return values;
}

}  // namespace

bool nextToken(const std::string& text, std::size_t& pos, std::string& token) {
    const std::size_t size = text.size();
    while (pos < size && isSpace(text[pos])) ++pos;
    if (pos == size) return false;
    const std::size_t start = pos;
    while (pos < size && !isSpace(text[pos])) ++pos;
    token.assign(text, start, pos - start);
    return true;
}

namespace {

// Where nextToken would find the next token: its start and length.
bool nextSpan(const std::string& text, std::size_t& pos, std::size_t& start, std::size_t& len) {
    const std::size_t size = text.size();
    while (pos < size && isSpace(text[pos])) ++pos;
    if (pos == size) return false;
    start = pos;
    while (pos < size && !isSpace(text[pos])) ++pos;
    len = pos - start;
    return true;
}

// One value found in a line: text[start, start + len), with a closing quote
// added when the line did not hold one.
struct ValueSpan {
    std::size_t start;
    std::size_t len;
    bool closeQuote;
};

}  // namespace

int parseKeyValue(const std::string& text, std::size_t pos, KeyValuesMap_t* map) {
    if (map == nullptr) return 0;
    // The values of a key are found first and then built once, in a vector
    // of the right size: no token is copied twice.
    thread_local std::vector<ValueSpan> spans;
    int stored = 0;
    bool cut = false;
    std::size_t keyStart = 0;
    std::size_t keyLen = 0;
    while (!cut && nextSpan(text, pos, keyStart, keyLen)) {
        spans.clear();
        std::size_t mark = pos;
        std::size_t start = 0;
        std::size_t len = 0;
        while (nextSpan(text, pos, start, len)) {
            if (text[start] == '_') {
                pos = mark;  // read it again as the next key
                break;
            }
            bool closeQuote = false;
            // A token that opens a quote (a lone quote counts as opened and
            // closed) takes in the text up to the next quote.
            if (len > 1 && text[start] == '\'' && text[start + len - 1] != '\'') {
                // A quoted value keeps its inner white space and ends at the
                // next quote, at most MAX_QUOTED_VALUE characters on. One that
                // does not close in time is cut there, and the rest of the
                // line is not parsed: it could not be split safely.
                const std::size_t close = text.find('\'', pos);
                std::size_t rest = (close == std::string::npos ? text.size() : close) - pos;
                if (rest > MAX_QUOTED_VALUE) {
                    rest = MAX_QUOTED_VALUE;
                    cut = true;
                }
                len += rest;
                closeQuote = true;
                pos = (!cut && close != std::string::npos) ? close + 1 : pos + rest;
            }
            spans.push_back({start, len, closeQuote});
            if (cut) break;
            mark = pos;
        }
        std::vector<std::string> values;
        values.reserve(spans.size());
        for (const ValueSpan& v : spans) {
            values.emplace_back(text, v.start, v.len);
            if (v.closeQuote) values.back().push_back('\'');
        }
        (*map)[text.substr(keyStart, keyLen)] = std::move(values);
        stored = 1;
    }
    return stored;
}

int parseKeyValue(std::istream& in, KeyValuesMap_t* map) {
    if (!in) return 0;
    const std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.setstate(std::ios::eofbit);
    return parseKeyValue(rest, 0, map);
}

uint64_t secondsToMicros(double seconds) {
    // 2^64 as a double; a sum at or above it has no u64 value.
    const double limit = 18446744073709551616.0;
    if (!(seconds > 0)) return 0;  // also NaN
    const double micros = seconds * 1000000.0 + 0.5;
    if (!(micros < limit)) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(micros);
}

const char* getValue(const KeyValuesMap_t* map, const std::string& key, const Logger& log,
                     const char* context) {
    const std::string* value = single(map, key, log, context);
    return value ? value->c_str() : nullptr;
}

const std::vector<std::string>* getValues(const KeyValuesMap_t* map, const std::string& key,
                                          const Logger& log, const char* context) {
    return lookup(map, key, log, context);
}

bool getDouble(const KeyValuesMap_t* map, const std::string& key, double& out, const Logger& log,
               const char* context) {
    out = 0.0;
    const std::string* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = readNumber<double>(*value);
    return true;
}

bool getInt16(const KeyValuesMap_t* map, const std::string& key, uint16_t& out, const Logger& log,
              const char* context) {
    out = 0;
    const std::string* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = htobe16(readNumber<uint16_t>(*value));
    return true;
}

bool getInt32(const KeyValuesMap_t* map, const std::string& key, uint32_t& out, const Logger& log,
              const char* context) {
    out = 0;
    const std::string* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = htobe32(readNumber<uint32_t>(*value));
    return true;
}

bool getInt64(const KeyValuesMap_t* map, const std::string& key, uint64_t& out, const Logger& log,
              const char* context) {
    out = 0;
    const std::string* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = htobe64(readNumber<uint64_t>(*value));
    return true;
}

bool getIIPair(const KeyValuesMap_t* map, const std::string& key, uint32_t& first, uint32_t& second,
               const Logger& log, const char* context) {
    const std::vector<std::string>* values = exactly(map, key, 2, log, context);
    if (values == nullptr) return false;
    first = htobe32(readNumber<uint32_t>((*values)[0]));
    second = htobe32(readNumber<uint32_t>((*values)[1]));
    return true;
}

bool getIFPair(const KeyValuesMap_t* map, const std::string& key, uint32_t& count, uint64_t& micros,
               const Logger& log, const char* context) {
    const std::vector<std::string>* values = exactly(map, key, 2, log, context);
    if (values == nullptr) return false;
    count = htobe32(readNumber<uint32_t>((*values)[0]));
    micros = htobe64(readMicros((*values)[1]));
    return true;
}

bool getIFFFQuad(const KeyValuesMap_t* map, const std::string& key, uint32_t& count,
                 uint64_t& micros1, uint64_t& micros2, uint64_t& micros3, const Logger& log,
                 const char* context) {
    const std::vector<std::string>* values = exactly(map, key, 4, log, context);
    if (values == nullptr) return false;
    count = htobe32(readNumber<uint32_t>((*values)[0]));
    micros1 = htobe64(readMicros((*values)[1]));
    micros2 = htobe64(readMicros((*values)[2]));
    micros3 = htobe64(readMicros((*values)[3]));
    return true;
}

bool getInt64Array(const KeyValuesMap_t* map, const std::string& key, uint64_t* out, uint32_t n,
                   const Logger& log, const char* context) {
    const std::vector<std::string>* values = lookup(map, key, log, context);
    if (values == nullptr || values->size() < n) {
        for (uint32_t i = 0; i < n; ++i) out[i] = 0;
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) out[i] = htobe64(readNumber<uint64_t>((*values)[i]));
    return true;
}
