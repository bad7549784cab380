// One statistics reply line through the line classifier and the key/value
// grammar, then every getter on every key of the map. Whatever the bytes, no
// quoted value grows past its limit, no value begins with "_", and a getter
// that fails leaves the outputs its contract promises, and the number getters
// read a single value exactly as stream extraction does.
#include <endian.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "StringParser.h"
#include "TallyqResponse.h"

namespace {

class NullLogger : public Logger {
  public:
    void logDebug(const char*, ...) const override {}
    void logInfo(const char*, ...) const override {}
    void logWarning(const char*, ...) const override {}
    void logError(const char*, ...) const override {}
    void logFatalAndStop(const char*, ...) const override {}
};

typedef std::map<std::string, std::vector<std::string>> PlainMap;

// The grammar written directly on stream extraction, as the reference.
void referenceParse(std::istream& in, PlainMap& map) {
    std::string key;
    while (in >> key) {
        std::vector<std::string> values;
        std::streampos mark = in.tellg();
        std::string token;
        while (in >> token) {
            if (token[0] == '_') break;
            if (token.size() > 1 && token[0] == '\'' && token.back() != '\'') {
                char rest[MAX_QUOTED_VALUE + 1];
                in.getline(rest, sizeof rest, '\'');
                // Every byte read counts, a NUL included; a consumed closing
                // quote is counted by gcount but not stored.
                std::size_t n = static_cast<std::size_t>(in.gcount());
                if (in.good() && n > 0) --n;
                token.append(rest, n);
                token.push_back('\'');
            }
            values.push_back(token);
            mark = in.tellg();
        }
        map[key] = values;
        in.clear(in.rdstate() & ~std::ios::eofbit);
        if (in && mark != std::streampos(-1)) in.seekg(mark);
    }
}

template <typename T>
T extracted(const std::string& text) {
    std::istringstream in(text);
    T value = 0;
    in >> value;
    return value;
}

// The getters read numbers without a stream; they must agree with one.
void sameAsExtraction(const KeyValuesMap_t* map, const std::string& key, const Logger& log) {
    const char* text = getValue(map, key, log, "main");
    if (text == nullptr) return;
    double d;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    getDouble(map, key, d, log, "main");
    getInt16(map, key, u16, log, "main");
    getInt32(map, key, u32, log, "main");
    getInt64(map, key, u64, log, "main");
    const double want = extracted<double>(text);
    if (std::memcmp(&d, &want, sizeof d) != 0) __builtin_trap();
    if (u16 != htobe16(extracted<uint16_t>(text))) __builtin_trap();
    if (u32 != htobe32(extracted<uint32_t>(text))) __builtin_trap();
    if (u64 != htobe64(extracted<uint64_t>(text))) __builtin_trap();
}

// The parser's map in the reference's terms.
PlainMap plain(const KeyValuesMap_t& map) {
    PlainMap out;
    for (const auto& kv : map) {
        std::vector<std::string>& values = out[std::string(kv.first)];
        for (std::string_view v : kv.second) values.emplace_back(v);
    }
    return out;
}

void allGetters(const KeyValuesMap_t* map, const std::string& key, const Logger& log) {
    double d;
    uint16_t u16;
    uint32_t u32, v32;
    uint64_t u64, m1, m2, m3;
    getValue(map, key, log, "main");
    getValues(map, key, log, "main");
    if (!getDouble(map, key, d, log, "main") && d != 0.0) __builtin_trap();
    if (!getInt16(map, key, u16, log, "main") && u16 != 0) __builtin_trap();
    if (!getInt32(map, key, u32, log, "main") && u32 != 0) __builtin_trap();
    if (!getInt64(map, key, u64, log, "main") && u64 != 0) __builtin_trap();
    getIIPair(map, key, u32, v32, log, "iipair");
    getIFPair(map, key, u32, u64, log, "ifpair");
    getIFFFQuad(map, key, u32, m1, m2, m3, log, "ifffquad");
    uint64_t arr[4];
    std::memset(arr, 0xAB, sizeof arr);
    const uint32_t n = static_cast<uint32_t>(key.size() % 5);
    if (!getInt64Array(map, key, arr, n, log, "mainArray")) {
        for (uint32_t i = 0; i < n && i < 4; ++i) {
            if (arr[i] != 0) __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    const std::size_t nl = line.find('\n');
    if (nl != std::string::npos) line.resize(nl);
    std::string name;
    KeyValuesMap_t map;
    const TallyqResponse::lineType type = TallyqResponse::parseLine(line, name, &map);
    if (type == TallyqResponse::lineFatal && name != line) __builtin_trap();
    std::istringstream whole(line);
    std::string first;
    whole >> first;
    PlainMap byStream;
    KeyValuesMap_t byText;
    std::istringstream again(whole.str());
    again >> first;
    referenceParse(whole, byStream);
    parseKeyValue(again, &byText);
    if (byStream != plain(byText)) __builtin_trap();

    NullLogger log;
    for (const auto& kv : map) {
        for (std::string_view v : kv.second) {
            if (v.empty() || v[0] == '_') __builtin_trap();
            if (v[0] == '\'' && v.back() != '\'') __builtin_trap();
        }
        const std::string key(kv.first);
        allGetters(&map, key, log);
        sameAsExtraction(&map, key, log);
    }
    allGetters(nullptr, "k", log);
    allGetters(&map, "absent key", log);
    return 0;
}
