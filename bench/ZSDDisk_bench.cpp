// Per-sample cost of the ZSD disk sensor on a large node: 1000 disks over 10
// filesystems and 40 pools, the statistics reply answered through the query
// seam and the repository through the name map's seam. BM_ZSDDiskSample
// times one sample as the daemon runs it (parsing, disk rows, sums and the
// filesystem and pool rows), BM_ZSDDiskParse the parsing alone. Within the
// refresh period no sample may query the repository: "queries" counts them
// (1, the first sample's).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "SensorDRIXZSDDisk.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace {

constexpr int DISKS = 1000, FILESYSTEMS = 10, POOLS_PER_FS = 4;

std::string diskName(int d) { return "zsd" + std::to_string(d); }

std::string statsReply() {
    std::string text = "_response_ begin tallyq zsd_ds\n";
    for (int d = 0; d < DISKS; ++d) {
        text += std::string("_tallyq::zsd_ds ") + (d == 0 ? "_rc_ 0 " : "") + "_d_ " + diskName(d) +
                "\n_r_ _ops_ 123456 _b_ 987654321 _tw_ 1.5 _qt_ 0.25 _stwpb_ 0.001 _sqtpb_ 0.002 "
                "_ltwpb_ 0.5 _lqtpb_ 0.25\n_w_ _ops_ 65432 _b_ 123456789 _tw_ 2.5 _qt_ 0.5 "
                "_stwpb_ 0.001 _sqtpb_ 0.002 _ltwpb_ 0.75 _lqtpb_ 0.5\n";
    }
    return text + "_response_ end\n";
}

std::vector<std::string> repositoryReply() {
    std::vector<std::string> lines;
    for (int d = 0; d < DISKS; ++d) {
        const int fs = d % FILESYSTEMS;
        const int pool = (d / FILESYSTEMS) % POOLS_PER_FS;
        lines.push_back("peekreg:pkrq_zsd_info:a:b:c:d:" + diskName(d) + ":fs" +
                        std::to_string(fs) + ":pool" + std::to_string(pool) + ":\n");
    }
    return lines;
}

TallyqResponse* parse(const std::string& text) {
    TallyqReplyReader reader;
    reader.feed(text.data(), text.size());
    return reader.take();
}

class TextQuery : public TallyqQuery {
  public:
    explicit TextQuery(std::string text) : text(std::move(text)) {}
    TallyqResponse* executeQuery(const std::string&) override { return parse(text); }

  private:
    std::string text;
};

void BM_ZSDDiskSample(benchmark::State& state) {
    TextQuery query(statsReply());
    const std::vector<std::string> repository = repositoryReply();
    int queries = 0;
    SensorDRIXZSDDisk sensor;
    sensor.setQuery(&query);
    sensor.getZSDInfo()->setQuery([&](const std::string&) {
        ++queries;
        return new std::vector<std::string>(repository);
    });
    sensor.init();
    const dataSet_t* sets = sensor.getMetricData();
    for (auto _ : state) {
        sets = sensor.getMetricData();
        benchmark::DoNotOptimize(sets);
    }
    state.counters["disks"] = sets[0].numSets;
    state.counters["fs"] = sets[1].numSets;
    state.counters["pools"] = sets[2].numSets;
    state.counters["queries"] = queries;
    sensor.shutdown();
}
BENCHMARK(BM_ZSDDiskSample)->Unit(benchmark::kMillisecond);

void BM_ZSDDiskParse(benchmark::State& state) {
    const std::string text = statsReply();
    for (auto _ : state) {
        TallyqResponse* reply = parse(text);
        benchmark::DoNotOptimize(reply);
        delete reply;
    }
}
BENCHMARK(BM_ZSDDiskParse)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
