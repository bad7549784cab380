// Statistics replies through the byte-feeding reply reader, in pieces cut by
// the input itself, with no waits. Whatever the bytes, each reply comes out
// with a valid type, the bytes it leaves unused are a tail of what was fed,
// and the next reply can be read from them. Input that ends with a line end
// gives the same replies however it is cut into pieces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "TallyqResponse.h"

namespace {

// Type, name and record count of every reply read from input in pieces of
// the given size.
std::string readAll(const std::string& input, std::size_t piece) {
    TallyqReplyReader reader;
    std::string carry;
    std::size_t pos = 0;
    int replies = 0;
    std::string summary;
    while ((pos < input.size() || !carry.empty()) && replies < 1000) {
        if (!carry.empty()) {
            const std::string again = carry;
            carry.clear();
            reader.feed(again.data(), again.size());
        }
        while (!reader.complete() && pos < input.size()) {
            const std::size_t n = input.size() - pos < piece ? input.size() - pos : piece;
            reader.feed(input.data() + pos, n);
            pos += n;
        }
        if (!reader.complete()) reader.inputEnded();
        carry = reader.takeUnused();
        if (carry.size() > input.size()) __builtin_trap();
        TallyqResponse* reply = reader.take();
        if (reply->getType() < TallyqResponse::unknown || reply->getType() > TallyqResponse::fatal)
            __builtin_trap();
        for (const TallyqRecord& r : reply->getRecordList()) {
            const KeyValuesMap_t* parts[] = {r.getMainMap(), r.getReadMap(), r.getWriteMap(),
                                             r.getStatMap()};
            for (const KeyValuesMap_t* m : parts) {
                if (m == nullptr) continue;
                for (const auto& kv : *m) {
                    for (std::string_view v : kv.second) {
                        if (v.empty() || v[0] == '_') __builtin_trap();
                    }
                }
            }
        }
        summary += std::to_string(reply->getType()) + " " + reply->getName() + " " +
                   std::to_string(reply->getNumRecords()) + "\n";
        delete reply;
        ++replies;
    }
    return summary;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the piece size, so lines and replies split anywhere.
    const std::size_t piece = 1 + data[0] % 64;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string pieces = readAll(input, piece);
    if (!input.empty() && input.back() == '\n' && pieces != readAll(input, input.size()))
        __builtin_trap();
    return 0;
}
