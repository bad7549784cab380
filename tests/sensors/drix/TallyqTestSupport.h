// Helpers of the statistics parser and channel tests: a logger that keeps its
// lines, and a compact text form of a parsed reply's records.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "Logger.h"
#include "TallyqResponse.h"

namespace TallyqTest {

#define KEEP(sev)       \
    va_list ap;         \
    va_start(ap, fmt);  \
    keep(sev, fmt, ap); \
    va_end(ap)

// Keeps every line as "<Severity>: <text>".
class CaptureLogger : public Logger {
  public:
    mutable std::vector<std::string> lines;
    void logDebug(const char* fmt, ...) const override { KEEP("Debug"); }
    void logInfo(const char* fmt, ...) const override { KEEP("Info"); }
    void logWarning(const char* fmt, ...) const override { KEEP("Warning"); }
    void logError(const char* fmt, ...) const override { KEEP("Error"); }
    void logFatalAndStop(const char* fmt, ...) const override { KEEP("Fatal"); }

  private:
    void keep(const char* severity, const char* fmt, va_list ap) const VELMAR_PRINTF(3, 0) {
        char buf[2048];
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        lines.push_back(std::string(severity) + ": " + buf);
    }
};
#undef KEEP

// "k=v1,v2 k2=" for a map, "-" for an absent part.
inline std::string mapText(const KeyValuesMap_t* map) {
    if (map == nullptr) return "-";
    std::string out;
    for (const auto& kv : *map) {
        if (!out.empty()) out += ' ';
        out.append(kv.first).append("=");
        for (std::size_t i = 0; i < kv.second.size(); ++i)
            out.append(i ? "," : "").append(kv.second[i]);
    }
    return out;
}

// Each record as "[main|read|write|stat]".
inline std::string recordsText(const TallyqResponse& reply) {
    std::string out;
    for (const TallyqRecord& r : reply.getRecordList()) {
        out += "[" + mapText(r.getMainMap()) + "|" + mapText(r.getReadMap()) + "|" +
               mapText(r.getWriteMap()) + "|" + mapText(r.getStatMap()) + "]";
    }
    return out;
}

}  // namespace TallyqTest
