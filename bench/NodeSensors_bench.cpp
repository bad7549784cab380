// Cost of one SensorDRIXVFSX sample (191 metrics): the reply check, the
// zeroing of the row and the copy of 47 quads through the typed getters. The
// replies are parsed beforehand, outside the timed part, so the figures leave
// out the reply parser. Heap allocations inside the timed part are counted
// with a replaced global operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "SensorDRIXVFS.h"
#include "SensorDRIXVFSX.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace {

std::atomic<uint64_t> allocations{0};

// Hands out replies parsed in advance, one per sample.
class PooledQuery : public TallyqQuery {
  public:
    explicit PooledQuery(std::string text) : text(std::move(text)) {}
    TallyqResponse* executeQuery(const std::string&) override { return pool[next++]; }
    bool empty() const { return next == pool.size(); }
    void refill(std::size_t n) {
        for (std::size_t i = next; i < pool.size(); ++i) delete pool[i];
        pool.clear();
        next = 0;
        for (std::size_t i = 0; i < n; ++i) {
            TallyqReplyReader reader;
            reader.feed(text.data(), text.size());
            pool.push_back(reader.take());
        }
    }
    ~PooledQuery() override { refill(0); }

  private:
    std::string text;
    std::vector<TallyqResponse*> pool;
    std::size_t next = 0;
};

std::string vfssxReply() {
    std::string r = "_response_ begin tallyq vfssx\n_tallyq::vfssx_ _rc_ 0";
    for (const DRIXVFSOps::Operation& op : DRIXVFSOps::operations) {
        r += std::string(" ") + op.key + " 123456 1.25 0.0000005 0.75";
    }
    return r + "\n_response_ end\n";
}

void BM_VFSXSample(benchmark::State& state) {
    PooledQuery query(vfssxReply());
    SensorDRIXVFSX sensor;
    sensor.setQuery(&query);
    if (sensor.init() != 0) state.SkipWithError("init failed");
    uint64_t counted = 0;
    for (auto _ : state) {
        if (query.empty()) {
            state.PauseTiming();
            query.refill(1000);
            state.ResumeTiming();
        }
        const uint64_t before = allocations.load(std::memory_order_relaxed);
        const dataSet_t* set = sensor.getMetricData();
        counted += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(set->data);
        if (set->numSets != 1) state.SkipWithError("sample without a row");
    }
    state.counters["allocs/sample"] =
        benchmark::Counter(static_cast<double>(counted) / state.iterations());
}
BENCHMARK(BM_VFSXSample);

}  // namespace

// Out of line, so the compiler does not pair the inlined malloc and free
// calls with the operators themselves.
[[gnu::noinline]] void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
