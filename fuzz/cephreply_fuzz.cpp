// Ceph relay replies come from an outside program: parsing must survive any
// bytes, and every record it yields must hold at least one key with a value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "CephReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::vector<CephReply::Record> records;
    CephReply::parseValue(reply, records);
    for (const CephReply::Record& r : records) {
        if (r.empty()) std::abort();
        for (const auto& kv : r) {
            if (kv.first.empty() || kv.second.empty()) std::abort();
            if (kv.first.find_first_of(",:\n") != std::string::npos) std::abort();
            CephReply::toNumber(kv.second);
        }
    }
    return 0;
}
