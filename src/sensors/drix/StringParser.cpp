#include "StringParser.h"

#include <endian.h>

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

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
T readNumber(std::string_view text) {
    return readNumber<T>(text.data(), text.data() + text.size());
}

uint64_t readMicros(std::string_view text) { return secondsToMicros(readNumber<double>(text)); }

const KeyValuesMap::Values* lookup(const KeyValuesMap_t* map, const std::string& key,
                                   const Logger& log, const char* context) {
    if (map == nullptr) {
        log.logDebug("No values in: '%s'", context);
        return nullptr;
    }
    const KeyValuesMap::const_iterator it = map->find(key);
    if (it == map->end()) {
        log.logDebug("Key '%s' not found in '%s'", key.c_str(), context);
        return nullptr;
    }
    return &it->second;
}

// The key's one value, or null (with the message) when it has another count.
const std::string_view* single(const KeyValuesMap_t* map, const std::string& key, const Logger& log,
                               const char* context) {
    const KeyValuesMap::Values* values = lookup(map, key, log, context);
    if (values == nullptr) return nullptr;
    if (values->size() != 1) {
        log.logDebug("No values for key: '%s'", key.c_str());
        return nullptr;
    }
    return &(*values)[0];
}

// The key's values when there are exactly count of them; no message otherwise.
const KeyValuesMap::Values* exactly(const KeyValuesMap_t* map, const std::string& key,
                                    std::size_t count, const Logger& log, const char* context) {
    const KeyValuesMap::Values* values = lookup(map, key, log, context);
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

// Entries of scratch vectors a thread keeps between lines; a typical line
// has a few dozen.
constexpr std::size_t RETAINED_SCRATCH = 4096;

// The entries of map as pieces, for building another map from them.
void appendAsPieces(const KeyValuesMap& map, std::vector<KeyValuesMap::KeyPieces>& keys,
                    std::vector<KeyValuesMap::Piece>& pieces) {
    for (const KeyValuesMap::Entry& e : map) {
        keys.push_back({e.first, pieces.size(), e.second.size()});
        for (std::string_view v : e.second) pieces.push_back({v, false});
    }
}

}  // namespace

// ---- KeyValuesMap

KeyValuesMap::KeyValuesMap(
    std::initializer_list<std::pair<std::string, std::vector<std::string>>> pairs) {
    std::vector<KeyPieces> keys;
    std::vector<Piece> pieces;
    for (const auto& kv : pairs) {
        keys.push_back({kv.first, pieces.size(), kv.second.size()});
        for (const std::string& v : kv.second) pieces.push_back({v, false});
    }
    add(keys.data(), keys.size(), pieces.data());
}

KeyValuesMap::KeyValuesMap(const KeyValuesMap& other) {
    std::vector<KeyPieces> keys;
    std::vector<Piece> pieces;
    appendAsPieces(other, keys, pieces);
    add(keys.data(), keys.size(), pieces.data());
}

KeyValuesMap::KeyValuesMap(KeyValuesMap&& other) noexcept
    : block(std::move(other.block)), entries(other.entries), count(other.count) {
    other.entries = nullptr;
    other.count = 0;
}

KeyValuesMap& KeyValuesMap::operator=(const KeyValuesMap& other) {
    if (this != &other) *this = KeyValuesMap(other);
    return *this;
}

KeyValuesMap& KeyValuesMap::operator=(KeyValuesMap&& other) noexcept {
    if (this != &other) {
        block = std::move(other.block);
        entries = other.entries;
        count = other.count;
        other.entries = nullptr;
        other.count = 0;
    }
    return *this;
}

KeyValuesMap::const_iterator KeyValuesMap::find(std::string_view key) const {
    const Entry* it = std::lower_bound(
        begin(), end(), key, [](const Entry& e, std::string_view k) { return e.first < k; });
    return (it != end() && it->first == key) ? it : end();
}

void KeyValuesMap::clear() {
    block.reset();
    entries = nullptr;
    count = 0;
}

std::size_t KeyValuesMap::blockBytes() const {
    if (count == 0) return 0;
    // The text is laid out in entry order, so the block ends with the NUL
    // after the last entry's last value (or its key, when it has none).
    const Entry& last = entries[count - 1];
    const std::string_view tail =
        last.second.empty() ? last.first : last.second[last.second.size() - 1];
    return static_cast<std::size_t>(tail.data() + tail.size() + 1 - block.get());
}

bool KeyValuesMap::operator==(const KeyValuesMap& other) const {
    if (count != other.count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& a = entries[i];
        const Entry& b = other.entries[i];
        if (a.first != b.first || a.second.size() != b.second.size()) return false;
        if (!std::equal(a.second.begin(), a.second.end(), b.second.begin())) return false;
    }
    return true;
}

void KeyValuesMap::add(const KeyPieces* keys, std::size_t nKeys, const Piece* pieces) {
    if (nKeys == 0) return;
    if (count != 0) {
        // Rare (the parser fills fresh maps): rebuild from the old entries
        // followed by the new keys, which then replace equal old ones.
        std::vector<KeyPieces> allKeys;
        std::vector<Piece> allPieces;
        appendAsPieces(*this, allKeys, allPieces);
        for (std::size_t i = 0; i < nKeys; ++i) {
            allKeys.push_back({keys[i].key, allPieces.size(), keys[i].count});
            allPieces.insert(allPieces.end(), pieces + keys[i].first,
                             pieces + keys[i].first + keys[i].count);
        }
        KeyValuesMap merged;
        merged.add(allKeys.data(), allKeys.size(), allPieces.data());
        *this = std::move(merged);
        return;
    }
    // Keys sorted, equal keys in line order; the last of each run is kept.
    thread_local std::vector<std::size_t> order;
    order.resize(nKeys);
    for (std::size_t i = 0; i < nKeys; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [keys](std::size_t a, std::size_t b) {
        const int c = keys[a].key.compare(keys[b].key);
        return c < 0 || (c == 0 && a < b);
    });
    std::size_t kept = 0;
    std::size_t nValues = 0;
    std::size_t textBytes = 0;
    for (std::size_t i = 0; i < nKeys; ++i) {
        const KeyPieces& k = keys[order[i]];
        if (i + 1 < nKeys && k.key == keys[order[i + 1]].key) continue;
        order[kept++] = order[i];
        nValues += k.count;
        textBytes += k.key.size() + 1;
        for (std::size_t j = k.first; j < k.first + k.count; ++j)
            textBytes += pieces[j].text.size() + (pieces[j].closeQuote ? 2 : 1);
    }
    // One block: the entries, then the value views, then the text. A char
    // array from new is aligned for any object that fits in it, and the
    // entries' size keeps the views aligned after them.
    const std::size_t entryBytes = kept * sizeof(Entry);
    const std::size_t viewBytes = nValues * sizeof(std::string_view);
    std::unique_ptr<char[]> fresh(new char[entryBytes + viewBytes + textBytes]);
    Entry* const outEntries = reinterpret_cast<Entry*>(fresh.get());
    std::string_view* view = reinterpret_cast<std::string_view*>(fresh.get() + entryBytes);
    char* text = fresh.get() + entryBytes + viewBytes;
    for (std::size_t i = 0; i < kept; ++i) {
        const KeyPieces& k = keys[order[i]];
        Entry* const e = new (outEntries + i) Entry();
        if (!k.key.empty()) std::memcpy(text, k.key.data(), k.key.size());
        e->first = std::string_view(text, k.key.size());
        text += k.key.size();
        *text++ = '\0';
        e->second.first = view;
        e->second.count = k.count;
        for (std::size_t j = k.first; j < k.first + k.count; ++j) {
            const Piece& p = pieces[j];
            char* const start = text;
            if (!p.text.empty()) std::memcpy(text, p.text.data(), p.text.size());
            text += p.text.size();
            if (p.closeQuote) *text++ = '\'';
            new (view++) std::string_view(start, static_cast<std::size_t>(text - start));
            *text++ = '\0';
        }
    }
    block = std::move(fresh);
    entries = outEntries;
    count = kept;
    if (order.capacity() > RETAINED_SCRATCH) order = std::vector<std::size_t>();
}

int parseKeyValue(const std::string& text, std::size_t pos, KeyValuesMap_t* map) {
    if (map == nullptr) return 0;
    // The whole line is split first and the map built once from the pieces.
    // Kept per thread, so that a steady stream of lines allocates nothing
    // here; a hostile line's worth is given back after use.
    thread_local std::vector<KeyValuesMap::KeyPieces> keys;
    thread_local std::vector<KeyValuesMap::Piece> pieces;
    keys.clear();
    pieces.clear();
    bool cut = false;
    std::size_t keyStart = 0;
    std::size_t keyLen = 0;
    while (!cut && nextSpan(text, pos, keyStart, keyLen)) {
        keys.push_back({std::string_view(text.data() + keyStart, keyLen), pieces.size(), 0});
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
            pieces.push_back({std::string_view(text.data() + start, len), closeQuote});
            ++keys.back().count;
            if (cut) break;
            mark = pos;
        }
    }
    map->add(keys.data(), keys.size(), pieces.data());
    const int stored = keys.empty() ? 0 : 1;
    if (keys.capacity() > RETAINED_SCRATCH) keys = std::vector<KeyValuesMap::KeyPieces>();
    if (pieces.capacity() > RETAINED_SCRATCH) pieces = std::vector<KeyValuesMap::Piece>();
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
    const std::string_view* value = single(map, key, log, context);
    return value ? value->data() : nullptr;
}

const KeyValuesMap::Values* getValues(const KeyValuesMap_t* map, const std::string& key,
                                      const Logger& log, const char* context) {
    return lookup(map, key, log, context);
}

bool getDouble(const KeyValuesMap_t* map, const std::string& key, double& out, const Logger& log,
               const char* context) {
    out = 0.0;
    const std::string_view* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = readNumber<double>(*value);
    return true;
}

bool getInt16(const KeyValuesMap_t* map, const std::string& key, uint16_t& out, const Logger& log,
              const char* context) {
    out = 0;
    const std::string_view* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = htobe16(readNumber<uint16_t>(*value));
    return true;
}

bool getInt32(const KeyValuesMap_t* map, const std::string& key, uint32_t& out, const Logger& log,
              const char* context) {
    out = 0;
    const std::string_view* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = htobe32(readNumber<uint32_t>(*value));
    return true;
}

bool getInt64(const KeyValuesMap_t* map, const std::string& key, uint64_t& out, const Logger& log,
              const char* context) {
    out = 0;
    const std::string_view* value = single(map, key, log, context);
    if (value == nullptr) return false;
    out = htobe64(readNumber<uint64_t>(*value));
    return true;
}

bool getIIPair(const KeyValuesMap_t* map, const std::string& key, uint32_t& first, uint32_t& second,
               const Logger& log, const char* context) {
    const KeyValuesMap::Values* values = exactly(map, key, 2, log, context);
    if (values == nullptr) return false;
    first = htobe32(readNumber<uint32_t>((*values)[0]));
    second = htobe32(readNumber<uint32_t>((*values)[1]));
    return true;
}

bool getIFPair(const KeyValuesMap_t* map, const std::string& key, uint32_t& count, uint64_t& micros,
               const Logger& log, const char* context) {
    const KeyValuesMap::Values* values = exactly(map, key, 2, log, context);
    if (values == nullptr) return false;
    count = htobe32(readNumber<uint32_t>((*values)[0]));
    micros = htobe64(readMicros((*values)[1]));
    return true;
}

bool getIFFFQuad(const KeyValuesMap_t* map, const std::string& key, uint32_t& count,
                 uint64_t& micros1, uint64_t& micros2, uint64_t& micros3, const Logger& log,
                 const char* context) {
    const KeyValuesMap::Values* values = exactly(map, key, 4, log, context);
    if (values == nullptr) return false;
    count = htobe32(readNumber<uint32_t>((*values)[0]));
    micros1 = htobe64(readMicros((*values)[1]));
    micros2 = htobe64(readMicros((*values)[2]));
    micros3 = htobe64(readMicros((*values)[3]));
    return true;
}

bool getInt64Array(const KeyValuesMap_t* map, const std::string& key, uint64_t* out, uint32_t n,
                   const Logger& log, const char* context) {
    const KeyValuesMap::Values* values = lookup(map, key, log, context);
    if (values == nullptr || values->size() < n) {
        for (uint32_t i = 0; i < n; ++i) out[i] = 0;
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) out[i] = htobe64(readNumber<uint64_t>((*values)[i]));
    return true;
}
