// Per-sample cost of the per-peer RPC sensor on a large node: 1000 peers of
// three latency objects each (4000 records), answered through the query seam.
// BM_RPCSPeerSample times what one sample costs in the daemon (parsing the
// reply, then the rows), BM_RPCSPeerParse the parsing alone; the difference
// is the sensor's own share. The row array must stay in place while the peer
// count does not change: "moves" counts the samples whose rows moved.
#include <benchmark/benchmark.h>

#include <string>

#include "SensorDRIXRPCSPeer.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace {

std::string peersReply(int peers) {
    std::string text = "_response_ begin tallyq rpcs\n";
    const char* objects[] = {"AG_STAT_RPC_LATENCY_TCP", "AG_STAT_RPC_LATENCY_VERBS",
                             "AG_STAT_RPC_LATENCY_MIXED"};
    for (int p = 0; p < peers; ++p) {
        text += std::string("_tallyq::peer ") + (p == 0 ? "_rc_ 0 " : "") +
                "_cl_ bench.cluster _rnn_ node" + std::to_string(p) + "\n";
        for (const char* o : objects) {
            text += std::string("_rpcObj_ _obj_ ") + o +
                    "\n_stats_ _av_ 0.000125 _min_ 0.00001 _max_ 0.75 _cnt_ 1234\n";
        }
    }
    return text + "_response_ end\n";
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

void BM_RPCSPeerSample(benchmark::State& state) {
    TextQuery query(peersReply(static_cast<int>(state.range(0))));
    SensorDRIXRPCSPeer sensor;
    sensor.setQuery(&query);
    sensor.init();
    const char* rows = sensor.getMetricData()->data;
    uint32_t count = 0;
    int moves = 0;
    for (auto _ : state) {
        const dataSet_t* set = sensor.getMetricData();
        if (set->data != rows) ++moves;
        rows = set->data;
        count = set->numSets;
        benchmark::DoNotOptimize(set);
    }
    state.counters["rows"] = count;
    state.counters["moves"] = moves;
    sensor.shutdown();
}
BENCHMARK(BM_RPCSPeerSample)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_RPCSPeerParse(benchmark::State& state) {
    const std::string text = peersReply(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TallyqResponse* reply = parse(text);
        benchmark::DoNotOptimize(reply);
        delete reply;
    }
}
BENCHMARK(BM_RPCSPeerParse)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
