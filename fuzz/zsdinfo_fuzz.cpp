// Replies of the configuration repository must never crash the ZSD name map
// or put a malformed entry into it. The bytes become the reply lines as the
// channel hands them over (split after each newline, long lines in pieces of
// 2047 bytes), and the map refreshes from them. What the sensor relies on is
// checked: every entry has a disk, a filesystem and a pool, none empty and
// none holding the field separator or a line end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZSDInfo.h"

namespace {

std::vector<std::string> linesOf(const char* data, std::size_t size) {
    std::vector<std::string> lines;
    std::string piece;
    for (std::size_t i = 0; i < size; ++i) {
        piece.push_back(data[i]);
        if (data[i] == '\n' || piece.size() == 2047) {
            lines.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) lines.push_back(piece);
    return lines;
}

bool clean(const std::string& s) {
    return !s.empty() && s.find(ZSDInfo::DELIM) == std::string::npos &&
           s.find('\n') == std::string::npos;
}

time_t clockNow = 1000;
time_t fuzzClock() { return clockNow; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> reply = linesOf(reinterpret_cast<const char*>(data), size);
    ZSDInfo map(60, fuzzClock);
    int asked = 0;
    map.setQuery([&](const std::string&) {
        ++asked;
        return new std::vector<std::string>(reply);
    });
    const poolFS_t* answer = map.getPoolAndFS(reply.empty() ? "zsd1" : reply[0]);
    if (answer == nullptr || asked != 1) std::abort();
    for (const auto& e : map.map()) {
        if (!clean(e.first) || !clean(e.second.pool) || !clean(e.second.fs)) std::abort();
    }
    // A failed refresh is not tried again within the sample.
    map.getPoolAndFS("zsd2");
    if (asked != 1) std::abort();
    return 0;
}
