// Per-sample cost of the busiest per-disk and WQM statistics sensors on a
// large node: 1000 disk records for the disk sensor (and 5000 that share one
// key), 1000 fileset records for the fileset WQM sensor, answered through the
// query seam. Parsing the reply is left out of the timed part (the timer
// pauses while the seam parses), so the figure is the sensor's own share:
// keys, probing, the read/write or WQM block and freeing the reply. "allocs"
// counts the heap allocations a sample makes outside the parse. The second
// argument 0 leaves the times (seconds) out of the records; with or without
// them a sample must allocate nothing per record in steady state.
// BM_DiskParseAndSample times the whole of a disk sample, parse included,
// against BM_DiskReplyFloor, one bare pass over the same reply bytes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <string>

#include "ReplyFloor.h"
#include "SensorDRIXDisk.h"
#include "SensorDRIXWQMBase.h"
#include "SensorDRIXWQMFSet.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace {
unsigned long allocations = 0;
}

// Out of line, so the compiler does not pair the inlined malloc and free
// calls with the operators themselves.
[[gnu::noinline]] void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// With oneName every record names the same cluster, filesystem and disk, so
// every key after the first is probed.
std::string disksReply(int disks, bool times, bool oneName = false) {
    std::string text = "_response_ begin tallyq ds\n";
    const std::string part =
        std::string(" _ops_ 1234567 _b_ 5056782336") +
        (times ? " _tw_ 1234.567891 _qt_ 12.345678 _stwpb_ 0.000125 _stw_ 0.0001 "
                 "_sqtpb_ 0.000002 _sqt_ 0.000001 _ltwpb_ 0.25 _ltw_ 0.5 _lqtpb_ 0.01 _lqt_ 0.02"
               : "") +
        "\n";
    for (int d = 0; d < disks; ++d) {
        text += std::string("_tallyq::ds ") + (d == 0 ? "_rc_ 0 " : "") +
                "_cl_ bench.cluster _fs_ fs" + std::to_string(oneName ? 0 : d % 8) + " _d_ dsk" +
                (oneName ? std::string() : std::to_string(d)) + "\n_r_" + part + "_w_" + part;
    }
    return text + "_response_ end\n";
}

std::string filesetsReply(int filesets, bool times) {
    std::string text = "_response_ begin tallyq wqm\n";
    std::string block =
        std::string("_br_ 123456789 _bw_ 987654321 _ne_ 1 _nf_ 2 _ns_ 3 _nr_ 4 _btw_ 4096 ") +
        (times ? "_ws_ 0.0001 _wl_ 1.5 _wa_ 0.02 _tr_ 12.5 _tw_ 7.25 " : "") +
        "_nme_ 99 _hcn_ 5 _hdi_ 6 _fex_ 7 _qme_ 1048576 _nqm_ 42";
    for (const char* op : WQM::OPERATION_WORDS) block += std::string(" _") + op + "_ 1 2 300 4 5";
    for (int f = 0; f < filesets; ++f) {
        text += std::string("_tallyq::wqm ") + (f == 0 ? "_rc_ 0 " : "") + "_fs_ fs" +
                std::to_string(f % 4) + " _fset_ fileset" + std::to_string(f) + " " + block + "\n";
    }
    return text + "_response_ end\n";
}

// Parses with the timer stopped and its allocations not counted.
class UntimedParse : public TallyqQuery {
  public:
    UntimedParse(std::string text, benchmark::State* state) : state(state), text(std::move(text)) {}
    TallyqResponse* executeQuery(const std::string&) override {
        if (state != nullptr) state->PauseTiming();
        const unsigned long before = allocations;
        TallyqReplyReader reader;
        reader.feed(text.data(), text.size());
        TallyqResponse* reply = reader.take();
        allocations = before;
        if (state != nullptr) state->ResumeTiming();
        return reply;
    }
    benchmark::State* state;

  private:
    std::string text;
};

template <class Sensor>
void runSamples(benchmark::State& state, const std::string& text) {
    UntimedParse query(text, nullptr);
    Sensor sensor;
    sensor.setQuery(&query);
    sensor.init();
    // Warm up: rows, key set and capacities reach their steady size.
    for (int i = 0; i < 3; ++i) sensor.getMetricData();
    query.state = &state;
    uint32_t rows = 0;
    const unsigned long before = allocations;
    for (auto _ : state) {
        const dataSet_t* set = sensor.getMetricData();
        rows = set->numSets;
        benchmark::DoNotOptimize(set);
    }
    state.counters["rows"] = rows;
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations - before),
                                                  benchmark::Counter::kAvgIterations);
    sensor.shutdown();
}

void BM_DiskSample(benchmark::State& state) {
    runSamples<SensorDRIXDisk>(state,
                               disksReply(static_cast<int>(state.range(0)), state.range(1) != 0));
}
BENCHMARK(BM_DiskSample)->Args({1000, 1})->Args({1000, 0})->Unit(benchmark::kMicrosecond);

// A disk sample with its parse timed, and the floor of the same reply: the
// two together may cost at most three times the floor.
void BM_DiskParseAndSample(benchmark::State& state) {
    UntimedParse query(disksReply(static_cast<int>(state.range(0)), state.range(1) != 0), nullptr);
    SensorDRIXDisk sensor;
    sensor.setQuery(&query);
    sensor.init();
    for (int i = 0; i < 3; ++i) sensor.getMetricData();
    for (auto _ : state) benchmark::DoNotOptimize(sensor.getMetricData());
    sensor.shutdown();
}
BENCHMARK(BM_DiskParseAndSample)->Args({1000, 1})->Unit(benchmark::kMicrosecond);

void BM_DiskReplyFloor(benchmark::State& state) {
    const std::string text = disksReply(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(replyFloor(text));
}
BENCHMARK(BM_DiskReplyFloor)->Args({1000, 1})->Unit(benchmark::kMicrosecond);

// One sample of 5000 records with equal keys: one collision line for them all.
void BM_DiskSampleEqualKeys(benchmark::State& state) {
    runSamples<SensorDRIXDisk>(state, disksReply(static_cast<int>(state.range(0)), false, true));
}
BENCHMARK(BM_DiskSampleEqualKeys)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_WQMFSetSample(benchmark::State& state) {
    runSamples<SensorDRIXWQMFSet>(
        state, filesetsReply(static_cast<int>(state.range(0)), state.range(1) != 0));
}
BENCHMARK(BM_WQMFSetSample)->Args({1000, 1})->Args({1000, 0})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
