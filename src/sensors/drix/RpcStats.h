// What the two RPC sensors ("DRIXRPCS", "DRIXRPCSPeer") share: the block of
// four figures that each RPC statistics object of a reply gives, the rule by
// which their metric tables name and number those figures, and the reading
// of a block from an object record's statistics part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Logger.h"
#include "StatColumns.h"
#include "TallyqResponse.h"

// Times in microseconds; all big-endian.
struct latencyMetrics_t {
    uint64_t avgVal;
    uint64_t minVal;
    uint64_t maxVal;
    uint64_t count;
} __attribute__((packed));
static_assert(sizeof(latencyMetrics_t) == 32, "four u64");

namespace RpcStats {

constexpr std::size_t FAMILY_ROWS = 4;

// The metric rows of one statistics object: prefix "_av", "_min", "_max"
// (microseconds) and "_cnt" (a count per sample), with consecutive ids.
constexpr std::array<MetricsMetadata, FAMILY_ROWS> family(const char* prefix, uint16_t firstId) {
    return {
        StatColumns::metric(prefix, "_av", "", firstId, DT_FPMICRO_64, 8, SEMTYPE_QUANTITY),
        StatColumns::metric(prefix, "_min", "", firstId + 1, DT_FPMICRO_64, 8, SEMTYPE_QUANTITY),
        StatColumns::metric(prefix, "_max", "", firstId + 2, DT_FPMICRO_64, 8, SEMTYPE_QUANTITY),
        StatColumns::metric(prefix, "_cnt", "", firstId + 3, DT_UINT_64, 8, SEMTYPE_DELTACOUNTER),
    };
}

// A table of `header` rows followed by one family per (prefix, first id).
struct Family {
    const char* prefix;
    uint16_t firstId;
};
template <std::size_t H, std::size_t F>
constexpr std::array<MetricsMetadata, H + F * FAMILY_ROWS> table(
    const std::array<MetricsMetadata, H>& header, const Family (&families)[F]) {
    std::array<MetricsMetadata, H + F * FAMILY_ROWS> t{};
    for (std::size_t i = 0; i < H; ++i) t[i] = header[i];
    for (std::size_t f = 0; f < F; ++f) {
        const auto rows = family(families[f].prefix, families[f].firstId);
        for (std::size_t r = 0; r < FAMILY_ROWS; ++r) t[H + f * FAMILY_ROWS + r] = rows[r];
    }
    return t;
}

// Reads "_av_", "_min_", "_max_" and "_cnt_" one after the other, each only
// while the reads before it succeeded; a failed time read gives its own and
// every later time the value 0. True when all four were read.
bool readChained(const TallyqRecord& record, latencyMetrics_t& block, const Logger& log);

// Reads the four values each on its own; a missing value is 0.
void readEach(const TallyqRecord& record, latencyMetrics_t& block, const Logger& log);

}  // namespace RpcStats
