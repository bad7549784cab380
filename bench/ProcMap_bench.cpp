// One process-table scan with a few thousand extra processes on the host.
// The children are forked before the timed loop, sleep until killed, die
// with the benchmark if it dies (PR_SET_PDEATHSIG), and are reaped after it.
#include <benchmark/benchmark.h>

#include <vector>

#include "ProcMap.h"
#include "Sleepers.h"

namespace {

using bench::reap;
using bench::spawnSleepers;

void BM_loadProcMap(benchmark::State& state) {
    if (initProcMap() != 0) {
        state.SkipWithError("process-table library not found");
        return;
    }
    std::vector<pid_t> sleepers = spawnSleepers(static_cast<int>(state.range(0)));
    size_t tasks = 0;
    for (auto _ : state) {
        procInfoMap_t map;
        timeval now;
        if (loadProcMap(map, now) != 0) {
            state.SkipWithError("scan failed");
            break;
        }
        tasks = map.size();
        benchmark::DoNotOptimize(map);
    }
    reap(sleepers);
    state.counters["spawned"] = static_cast<double>(sleepers.size());
    state.counters["tasks"] = static_cast<double>(tasks);
    // Seconds per task of one scan.
    state.counters["per_task"] = benchmark::Counter(
        static_cast<double>(tasks),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_loadProcMap)->Arg(0)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
