// Logging cost: a component's stub call (format, allocate, queue) while the
// backend thread writes the lines to a file, and the end-to-end rate including
// the backend's draining of the queue.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "LoggerBackend.h"
#include "LoggerStub.h"

namespace {

struct TempLog {
    std::string dir;
    std::string file;
    TempLog() {
        const char* base = std::getenv("TMPDIR");
        dir = std::string(base && *base ? base : "/tmp") + "/velmar-logbench-XXXXXX";
        if (mkdtemp(&dir[0]) == nullptr) std::abort();
        file = dir + "/bench.log";
    }
    ~TempLog() {
        unlink(file.c_str());
        rmdir(dir.c_str());
    }
};

// Stub calls per second; the backend keeps writing behind them.
void BM_LoggerStubCall(benchmark::State& state) {
    TempLog tmp;
    LoggerBackend::createAndInitLogger(LogNameSpace::esInfo, tmp.file.c_str(), true);
    LoggerStub stub("bench");
    long i = 0;
    for (auto _ : state) stub.logInfo("sample %ld from sensor %s", i++, "cpu");
    state.SetItemsProcessed(state.iterations());
    LoggerBackend::destroy();
}
// Bounded: the queue holds what the backend has not written yet.
BENCHMARK(BM_LoggerStubCall)->Iterations(200000);

// Lines per second through stub, queue and backend into the file: the timing
// includes the drain in destroy().
void BM_LoggerEndToEnd(benchmark::State& state) {
    TempLog tmp;
    const long lines = state.range(0);
    for (auto _ : state) {
        LoggerBackend::createAndInitLogger(LogNameSpace::esInfo, tmp.file.c_str(), true);
        LoggerStub stub("bench");
        for (long i = 0; i < lines; ++i) stub.logInfo("sample %ld from sensor %s", i, "cpu");
        LoggerBackend::destroy();
    }
    state.SetItemsProcessed(state.iterations() * lines);
}
BENCHMARK(BM_LoggerEndToEnd)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
