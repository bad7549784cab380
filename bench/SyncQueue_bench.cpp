// Push/pop round trips between two threads: the caller pushes onto one
// queue, an echo thread pops it and pushes it back onto a second one.
#include <benchmark/benchmark.h>

#include <thread>

#include "SyncQueue.h"

namespace {

// Argument: the spin time of both consumers in microseconds; 0 sleeps at
// once, 50 spins as the controller and the sensor thread do in blaster mode.
void BM_QueueRoundTrip(benchmark::State& state) {
    SyncQueue<int*> ping, pong;
    ping.setSpinWait(static_cast<unsigned int>(state.range(0)));
    pong.setSpinWait(static_cast<unsigned int>(state.range(0)));
    std::thread echo([&] {
        int* item = nullptr;
        while (ping.popFront(&item, nullptr) == 0) pong.pushBack(item);
    });
    int token = 0;
    int* out = nullptr;
    for (auto _ : state) {
        ping.pushBack(&token);
        pong.popFront(&out, nullptr);
    }
    ping.close();
    echo.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueRoundTrip)->Arg(0)->Arg(50)->UseRealTime();

// Batches: the producer pushes `n` items, then takes all `n` back.
void BM_QueueBatchRoundTrip(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    SyncQueue<int*> ping, pong;
    std::thread echo([&] {
        int* item = nullptr;
        while (ping.popFront(&item, nullptr) == 0) pong.pushBack(item);
    });
    int token = 0;
    int* out = nullptr;
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) ping.pushBack(&token);
        for (int i = 0; i < n; ++i) pong.popFront(&out, nullptr);
    }
    ping.close();
    echo.join();
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_QueueBatchRoundTrip)->Arg(64)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
