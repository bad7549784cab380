// Cost of one statistics reply of 1,000 records (a header, an "_r_" and a
// "_w_" line of about 10 keys each): parsed from memory and read through a
// pipe, with the bytes allocated per reply; and the round trip of one query
// through the statistics channel against the fake relay. BM_ReplyFloor is
// the yardstick: one bare pass over the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "Configuration.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "ReplyFloor.h"
#include "SensorCtrl.h"
#include "TallyqResponse.h"
#include "TallyqStub.h"

// The replacement pair below allocates with malloc and frees with free; GCC
// cannot see that both halves are replaced together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<bool> counting{false};
std::atomic<unsigned long long> allocatedBytes{0};

}  // namespace

// Counts the bytes allocated while `counting` is set.
void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed))
        allocatedBytes.fetch_add(size, std::memory_order_relaxed);
    void* p = std::malloc(size ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::string thousandRecords() {
    std::string text = "_response_ begin tallyq ioc\n";
    for (int i = 0; i < 1000; ++i) {
        const std::string n = std::to_string(i);
        text += "_tallyq::ioc _name_ dev" + n + " _id_ " + n +
                " _state_ 1 _opens_ 12 _closes_ 11 _reads_ 123456 _writes_ 654321"
                " _time_ 0.0000015 _q_ 3 4 _tag_ 'a b c'\n";
        text +=
            "_r_ _ops_ 1234 _bytes_ 5678901 _lat_ 0.000123 _min_ 0.00001 _max_ 0.01"
            " _hist_ 1 2 3 4 5 _err_ 0 _retry_ 0 _queued_ 7 _done_ 1234\n";
        text +=
            "_w_ _ops_ 4321 _bytes_ 1098765 _lat_ 0.000321 _min_ 0.00002 _max_ 0.02"
            " _hist_ 5 4 3 2 1 _err_ 0 _retry_ 1 _queued_ 8 _done_ 4321\n";
    }
    return text + "_response_ end\n";
}

void BM_ReplyFromMemory(benchmark::State& state) {
    const std::string text = thousandRecords();
    unsigned long long bytes = 0;
    for (auto _ : state) {
        allocatedBytes = 0;
        counting = true;
        TallyqReplyReader reader;
        for (std::size_t pos = 0; pos < text.size() && !reader.complete(); pos += 4096)
            reader.feed(text.data() + pos, std::min<std::size_t>(4096, text.size() - pos));
        TallyqResponse* reply = reader.take();
        counting = false;
        bytes = allocatedBytes;
        if (reply->getNumRecords() != 1000) state.SkipWithError("wrong record count");
        delete reply;
    }
    state.counters["reply_bytes"] = static_cast<double>(text.size());
    state.counters["allocated_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReplyFromMemory)->Unit(benchmark::kMillisecond);

// The floor for the reply above (see ReplyFloor.h): parsing it may cost at
// most twice this.
void BM_ReplyFloor(benchmark::State& state) {
    const std::string text = thousandRecords();
    for (auto _ : state) benchmark::DoNotOptimize(replyFloor(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReplyFloor)->Unit(benchmark::kMillisecond);

void BM_ReplyThroughPipe(benchmark::State& state) {
    const std::string text = thousandRecords();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    for (auto _ : state) {
        std::thread writer([&] {
            std::size_t off = 0;
            while (off < text.size()) {
                const ssize_t n = write(fds[1], text.data() + off, text.size() - off);
                if (n <= 0) break;
                off += static_cast<std::size_t>(n);
            }
        });
        TallyqResponse* reply = TallyqResponse::parseResponse(fds[0]);
        writer.join();
        if (reply->getNumRecords() != 1000) state.SkipWithError("wrong record count");
        delete reply;
    }
    close(fds[0]);
    close(fds[1]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReplyThroughPipe)->Unit(benchmark::kMillisecond);

// The channel lives once per process, so every run shares one; it is never
// released, and the relay ends with the process.
TallyqStub* sharedChannel() {
    static Cfg::ParamDefStore schema;
    static Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
    static TallyqStub* stub = [] {
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQRELAY);
        SensorCtrl::config = &cfg;
        return TallyqStub::getInstance();
    }();
    return stub;
}

void BM_QueryRoundTrip(benchmark::State& state) {
    TallyqStub* stub = sharedChannel();
    if (stub == nullptr) {
        state.SkipWithError("no channel");
        return;
    }
    for (auto _ : state) {
        TallyqResponse* reply = stub->executeQuery("tallyq vfss");
        if (reply == nullptr) state.SkipWithError("no reply");
        delete reply;
    }
}
BENCHMARK(BM_QueryRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
