// The host sensors' /proc parsers read kernel tables, but the files are
// outside input all the same: every parser must survive any bytes, keep its
// views inside the text and keep its sums consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "SensorCPU.h"
#include "SensorDiskstat.h"
#include "SensorLoad.h"
#include "SensorMemory.h"
#include "SensorNetstat.h"
#include "SensorNetwork.h"

namespace {
bool inside(std::string_view part, std::string_view text) {
    return part.empty() ||
           (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    ProcStatCounters stat = {};
    parseProcStat(text, stat);

    MeminfoValues mem;
    parseMeminfo(text, mem);

    NetDevTable dev;
    parseNetDev(text, dev);
    if (!dev.headerOK && !dev.entries.empty()) std::abort();
    for (const NetDevEntry& e : dev.entries) {
        if (!inside(e.name, text) || e.name.size() > 255) std::abort();
    }

    DiskstatTable disks;
    parseDiskstats(text, disks);
    for (const DiskstatEntry& e : disks.entries) {
        if (e.name.empty() || !inside(e.name, text)) std::abort();
    }

    parseLoadavg(text);

    const NetstatCounts tcp = parseNetTcp(text);
    if (tcp.states[1] != tcp.localEntries + tcp.remoteEntries) std::abort();

    std::string ip, port;
    parseAddrPort(text, ip, port);
    getIntFromHex(text);
    return 0;
}
