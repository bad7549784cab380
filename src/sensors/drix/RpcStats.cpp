#include "RpcStats.h"

#include "DirectStat.h"

namespace RpcStats {

bool readChained(const TallyqRecord& record, latencyMetrics_t& block, const Logger& log) {
    double s = 0;
    bool ok = record.getDoubleStat("_av_", s, log);
    block.avgVal = DirectStat::microsBE(s);
    if (ok) ok = record.getDoubleStat("_min_", s, log);
    block.minVal = DirectStat::microsBE(s);
    if (ok) ok = record.getDoubleStat("_max_", s, log);
    block.maxVal = DirectStat::microsBE(s);
    uint64_t count = 0;
    if (ok) ok = record.getInt64Stat("_cnt_", count, log);
    block.count = count;
    return ok;
}

void readEach(const TallyqRecord& record, latencyMetrics_t& block, const Logger& log) {
    double s = 0;
    record.getDoubleStat("_av_", s, log);
    block.avgVal = DirectStat::microsBE(s);
    record.getDoubleStat("_min_", s, log);
    block.minVal = DirectStat::microsBE(s);
    record.getDoubleStat("_max_", s, log);
    block.maxVal = DirectStat::microsBE(s);
    uint64_t count = 0;
    record.getInt64Stat("_cnt_", count, log);
    block.count = count;
}

}  // namespace RpcStats
