// Per-sample cost of the top-process sensor (process-table scan, ranking and
// table swap), also per process on the host, with a number of extra sleeping
// processes; and of the free-space sensor, whose sample runs the real df.
#include <benchmark/benchmark.h>

#include <vector>

#include "ProcMap.h"
#include "SensorDiskFree.h"
#include "SensorTopProc.h"
#include "Sleepers.h"

namespace {

using bench::reap;
using bench::spawnSleepers;

void BM_TopProcSample(benchmark::State& state) {
    if (initProcMap() != 0) {
        state.SkipWithError("process-table library not found");
        return;
    }
    const std::vector<pid_t> sleepers = spawnSleepers(static_cast<int>(state.range(0)));
    procInfoMap_t probe;
    timeval t;
    loadProcMap(probe, t);
    const double processes = static_cast<double>(probe.size());

    SensorTopProc sensor;
    sensor.init();
    sensor.getMetricData();
    for (auto _ : state) {
        const dataSet_t* set = sensor.getMetricData();
        benchmark::DoNotOptimize(set);
    }
    state.counters["processes"] = processes;
    state.counters["per_process"] =
        benchmark::Counter(processes * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    reap(sleepers);
}
BENCHMARK(BM_TopProcSample)->Arg(0)->Arg(2000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DiskFreeSample(benchmark::State& state) {
    SensorDiskFree sensor;
    sensor.init();
    uint32_t rows = 0;
    for (auto _ : state) {
        const dataSet_t* set = sensor.getMetricData();
        rows = set->numSets;
        benchmark::DoNotOptimize(set);
    }
    state.counters["rows"] = rows;
}
BENCHMARK(BM_DiskFreeSample)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
