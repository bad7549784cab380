// The "DRIXVIO" sensor: the node's virtual-disk I/O operations by kind in
// 32-bit counts, from "tallyq vios". SensorDRIXVIO64 sends the same request
// and reports the same twelve kinds (the list below) in 64-bit counts.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

namespace DRIXVIOOps {

// One kind of operation: its main-part key and the stem of its metric name.
struct Kind {
    const char* key;
    const char* stem;
};

constexpr uint32_t NUM_KINDS = 12;
constexpr Kind kinds[NUM_KINDS] = {
    {"_r_", "readOps"},        {"_sw_", "shortWriteOps"}, {"_mw_", "medWriteOps"},
    {"_pfw_", "promFTWOps"},   {"_ftw_", "FTWOps"},       {"_fuw_", "flushUpWrOps"},
    {"_fpw_", "flushPFTWOps"}, {"_m_", "migratedOps"},    {"_s_", "scrubOps"},
    {"_l_", "logWriteOps"},    {"_rgd_", "RGDWriteOps"},  {"_meta_", "metaWriteOps"},
};

// The metric rows of the twelve kinds: prefix + stem, ids from firstID.
template <std::size_t N>
constexpr void putKinds(std::array<StatColumns::Column, N>& t, std::size_t at, const char* prefix,
                        uint16_t firstID, uint16_t type) {
    for (uint32_t i = 0; i < NUM_KINDS; ++i) {
        t[at + i] = {kinds[i].key,
                     StatColumns::metric(prefix, kinds[i].stem, "", firstID + i, type,
                                         StatColumns::widthOf(type), SEMTYPE_TOTALCOUNTER)};
    }
}

}  // namespace DRIXVIOOps

struct DRIXVIOData {
    DRIXNodeHdr keys;
    uint32_t r, sw, mw, pfw, ftw, fuw, fpw, m, s, l, rgd, meta;
} __attribute__((packed));

class SensorDRIXVIO : public SensorDRIXNodeBase {
  public:
    SensorDRIXVIO();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXVIOData drixVIOMetricData;
};
