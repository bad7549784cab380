// Output of the tools the host sensors run (df, ibstatus, hddtemp) and the
// files they read (/proc/diskstats, Infiniband counter files) must never
// crash a parser. The first byte picks the parser; invariants that rows rely
// on are checked on what the parsers accept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "SensorDiskFree.h"
#include "SensorHDDTemp.h"
#include "SensorInfiniband.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0: {
            std::vector<DfEntry> entries;
            unsigned skipped = 0;
            parseDfOutput(text, entries, skipped);
            for (const DfEntry& e : entries) {
                // A mount point is a non-empty part of the input.
                if (e.mountPoint.empty() || e.mountPoint.data() < text.data() ||
                    e.mountPoint.data() + e.mountPoint.size() > text.data() + text.size()) {
                    std::abort();
                }
            }
            break;
        }
        case 1: {
            IbStatus status;
            parseIbstatus(text, status);
            if (!status.active.empty() && !status.deviceFound) std::abort();
            for (const auto& port : status.active) {
                if (port.first.first.find('/') != std::string::npos) std::abort();
            }
            break;
        }
        case 2: {
            uint64_t value = 0;
            parseIbCounter(text, value);
            break;
        }
        case 3: {
            std::vector<std::string> names;
            listTempDisks(text, names);
            for (const std::string& n : names) {
                if (n.empty() || n.find('/') != std::string::npos) std::abort();
            }
            break;
        }
        case 4:
            parseHddTempReply(text);
            break;
    }
    return 0;
}
