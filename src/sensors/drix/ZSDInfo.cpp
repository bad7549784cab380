#include "ZSDInfo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ADMCmdStub.h"

const char* const ZSDInfo::pkrQuery = "zsdInfo";
const char* const ZSDInfo::QUERYTOKEN = "peekreg";
const char* const ZSDInfo::ZSDINFO = "pkrq_zsd_info";
constexpr char ZSDInfo::DELIM;

namespace {

// The field of `line` starting at `pos`, up to the next DELIM or the end;
// false when the line has ended before it. pos moves past the field.
bool nextField(const std::string& line, std::size_t& pos, std::string& field) {
    if (pos > line.size()) return false;
    std::size_t end = line.find(ZSDInfo::DELIM, pos);
    if (end == std::string::npos) end = line.size();
    field.assign(line, pos, end - pos);
    pos = end + 1;
    return true;
}

}  // namespace

// The age of the map is measured on the monotonic clock, so a wall clock
// stepped back cannot freeze it and one stepped forward cannot flood the
// repository.
ZSDInfo::ZSDInfo(long r, Clock c) : refresh(r), clock(c ? c : monotonicSeconds) {}

ZSDInfo::~ZSDInfo() {
    if (admCmdStub) ADMCmdStub::closeInstance();
}

bool ZSDInfo::parseLine(const std::string& raw, std::string& disk, poolFS_t& entry) {
    // The line end is no part of the last field: a pool named "system\n"
    // would be a second pool.
    std::size_t len = raw.size();
    if (len > 0 && raw[len - 1] == '\n') {
        --len;
        if (len > 0 && raw[len - 1] == '\r') --len;
    }
    const std::string line(raw, 0, len);
    std::size_t pos = 0;
    std::string field;
    if (!nextField(line, pos, field) || field != QUERYTOKEN) return false;
    if (!nextField(line, pos, field) || field != ZSDINFO) return false;
    for (int i = 0; i < 4; ++i) {
        if (!nextField(line, pos, field)) return false;
    }
    if (!nextField(line, pos, disk) || disk.empty()) return false;
    if (!nextField(line, pos, entry.fs) || entry.fs.empty()) return false;
    if (!nextField(line, pos, entry.pool) || entry.pool.empty()) return false;
    return true;
}

std::vector<std::string>* ZSDInfo::query() {
    if (seam) return seam(pkrQuery);
    if (admCmdStub == nullptr && !channelAsked) {
        // Created once per process: a channel that is not there now never
        // will be, so it is asked for once and a null answer given back.
        channelAsked = true;
        admCmdStub = ADMCmdStub::getInstance();
        if (admCmdStub == nullptr) ADMCmdStub::closeInstance();
    }
    if (admCmdStub == nullptr) return nullptr;
    return admCmdStub->executeCmd(pkrQuery);
}

void ZSDInfo::populateMap() {
    if (!seam && channelAsked && admCmdStub == nullptr) {
        attemptFailed = true;
        return;
    }
    errno = 0;
    std::unique_ptr<std::vector<std::string>> reply(query());
    // A query the daemon's stop refused or cut off has not failed, and what
    // came back of it is no answer.
    const bool stopped = !seam && admCmdStub != nullptr && admCmdStub->isStopping();
    if (stopped) {
        attemptFailed = true;
        return;
    }
    if (!reply) {
        if (seam || admCmdStub) {
            const int err = errno;
            std::fprintf(stderr, "An error occurred executing %s: %s (%d)\n", pkrQuery,
                         std::strerror(err), err);
        }
        attemptFailed = true;
        return;
    }
    zsdMap.clear();
    std::string line, disk;
    poolFS_t entry;
    for (std::size_t i = 0; i < reply->size(); ++i) {
        // A long line comes in pieces; only a piece with its newline ends it.
        line += (*reply)[i];
        const bool ended = !line.empty() && line.back() == '\n';
        if (!ended && i + 1 < reply->size()) continue;
        if (!parseLine(line, disk, entry)) {
            std::fprintf(stderr, "Couldn't parse peekreg output: %s\n", line.c_str());
            attemptFailed = true;
            return;
        }
        zsdMap[disk] = entry;
        line.clear();
    }
    lastUpdate = clock();
    refreshed = true;
}

const poolFS_t* ZSDInfo::getPoolAndFS(const std::string& disk) {
    if (!attemptFailed && (!refreshed || lastUpdate + refresh < clock())) populateMap();
    const auto it = zsdMap.find(disk);
    return it == zsdMap.end() ? &unusedDisk : &it->second;
}
