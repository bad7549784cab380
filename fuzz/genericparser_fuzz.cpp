// Proxy replies through the generic reply parser. Whatever the bytes, every
// record holds exactly its key and value maps, key values are readable text
// and no name or value holds an element separator or a line end.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "GenericParser.h"

namespace {

class NullLogger : public Logger {
  public:
    void logDebug(const char*, ...) const override {}
    void logInfo(const char*, ...) const override {}
    void logWarning(const char*, ...) const override {}
    void logError(const char*, ...) const override {}
    void logFatalAndStop(const char*, ...) const override {}
};

bool clean(const std::string& s) { return s.find_first_of(" \t\n") == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string resp(reinterpret_cast<const char*>(data), size);
    GenericParser gp;
    NullLogger log;
    std::vector<GenericParser::Record> res;
    gp.parseResponse("sub", resp, res, log, size % 2 == 0);
    if (!res.empty() && resp.find(GenericParser::RSPBEGIN) == std::string::npos) __builtin_trap();
    for (const GenericParser::Record& rec : res) {
        if (rec.size() != 2 || rec.count(GenericParser::KEY) != 1 ||
            rec.count(GenericParser::VAL) != 1) {
            __builtin_trap();
        }
        for (const auto& kv : rec.at(GenericParser::KEY)) {
            if (!gp.validString(kv.second) || !clean(kv.first) || !clean(kv.second)) {
                __builtin_trap();
            }
        }
        for (const auto& kv : rec.at(GenericParser::VAL)) {
            if (!clean(kv.first) || !clean(kv.second)) __builtin_trap();
        }
    }
    return 0;
}
