#include "SyncQueue.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "Thread.h"

namespace {

using Clock = std::chrono::steady_clock;

int* item(intptr_t v) { return reinterpret_cast<int*>(v); }

long long msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

TEST(SyncQueue, ResultsOfPopFront) {
    SyncQueue<int*> q;
    int* out = nullptr;

    // Zero wait on an empty open queue times out at once.
    struct timeval zero = {0, 0};
    auto t0 = Clock::now();
    EXPECT_EQ(q.popFront(&out, &zero), -1);
    EXPECT_LT(msSince(t0), 100);

    // A short wait elapses, then -1.
    struct timeval fifty = {0, 50000};
    t0 = Clock::now();
    EXPECT_EQ(q.popFront(&out, &fifty), -1);
    EXPECT_GE(msSince(t0), 45);

    // Items come out oldest first, with or without a limit.
    ASSERT_TRUE(q.pushBack(item(1)));
    ASSERT_TRUE(q.pushBack(item(2)));
    ASSERT_TRUE(q.pushBack(item(3)));
    EXPECT_EQ(q.size(), 3u);
    EXPECT_EQ(q.popFront(&out, &zero), 0);
    EXPECT_EQ(out, item(1));

    // Closing keeps the queued items; they are handed out, then 2 (ENOENT).
    q.close();
    EXPECT_FALSE(q.pushBack(item(4)));
    EXPECT_EQ(q.popFront(&out, nullptr), 0);
    EXPECT_EQ(out, item(2));
    EXPECT_EQ(q.popFront(&out, &zero), 0);
    EXPECT_EQ(out, item(3));
    out = nullptr;
    EXPECT_EQ(q.popFront(&out, nullptr), 2);
    EXPECT_EQ(q.popFront(&out, &zero), 2);
    EXPECT_EQ(out, nullptr);
}

TEST(SyncQueue, WaitingConsumerWakesOnPushAndOnClose) {
    SyncQueue<int*> q;
    int* out = nullptr;
    int rc = -100;

    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        q.pushBack(item(7));
    });
    struct timeval tenSec = {10, 0};
    auto t0 = Clock::now();
    rc = q.popFront(&out, &tenSec);
    producer.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, item(7));
    EXPECT_LT(msSince(t0), 5000);

    // Closed while the caller waited: 9 (EBADF), for a timed and an untimed wait.
    for (const struct timeval* wait : {static_cast<const struct timeval*>(&tenSec),
                                       static_cast<const struct timeval*>(nullptr)}) {
        SyncQueue<int*> q2;
        std::atomic<int> result{-100};
        std::thread consumer([&] { result = q2.popFront(&out, wait); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        q2.close();
        consumer.join();
        EXPECT_EQ(result, 9);
    }
}

TEST(SyncQueue, ManyProducersKeepEachProducersOrder) {
    constexpr int producers = 4;
    constexpr intptr_t perProducer = 20000;
    SyncQueue<int*> q;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&q, p] {
            for (intptr_t i = 1; i <= perProducer; ++i) q.pushBack(item(p * 1000000 + i));
        });

    std::vector<intptr_t> last(producers, 0);
    struct timeval wait = {5, 0};
    for (intptr_t n = 0; n < producers * perProducer; ++n) {
        int* out = nullptr;
        ASSERT_EQ(q.popFront(&out, &wait), 0) << "after " << n << " items";
        intptr_t v = reinterpret_cast<intptr_t>(out);
        int p = static_cast<int>(v / 1000000);
        ASSERT_EQ(v % 1000000, last[p] + 1);
        last[p] = v % 1000000;
    }
    for (auto& t : threads) t.join();
    struct timeval zero = {0, 0};
    int* out = nullptr;
    EXPECT_EQ(q.popFront(&out, &zero), -1);
}

// A consumer that spins before it sleeps takes the mutex itself once it sees
// an item: every result and the order must stay those of a sleeping consumer,
// whether the spin ends by an item, by time, or by a close.
TEST(SyncQueue, SpinningConsumerKeepsResultsAndOrder) {
    for (unsigned spinMicros : {1u, 50u, 20000u}) {
        SCOPED_TRACE(spinMicros);
        SyncQueue<int*> q;
        q.setSpinWait(spinMicros);
        int* out = nullptr;
        struct timeval zero = {0, 0};
        EXPECT_EQ(q.popFront(&out, &zero), -1);

        constexpr intptr_t perProducer = 5000;
        std::vector<std::thread> threads;
        for (int p = 0; p < 2; ++p)
            threads.emplace_back([&q, p] {
                for (intptr_t i = 1; i <= perProducer; ++i) q.pushBack(item(p * 1000000 + i));
            });
        intptr_t last[2] = {0, 0};
        struct timeval wait = {5, 0};
        for (intptr_t n = 0; n < 2 * perProducer; ++n) {
            ASSERT_EQ(q.popFront(&out, &wait), 0) << "after " << n << " items";
            const intptr_t v = reinterpret_cast<intptr_t>(out);
            ASSERT_EQ(v % 1000000, last[v / 1000000] + 1);
            last[v / 1000000] = v % 1000000;
        }
        for (auto& t : threads) t.join();

        // Closed while it spins or sleeps: 9; closed and empty at the call: 2.
        std::atomic<int> result{-100};
        std::thread consumer([&] { result = q.popFront(&out, nullptr); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        q.close();
        consumer.join();
        EXPECT_TRUE(result == 9 || result == 2) << result;
        EXPECT_EQ(q.popFront(&out, &zero), 2);
    }
}

// A consumer cancelled while it waits inside popFront must leave the queue
// usable: the mutex it re-acquired on waking is released by the cleanup.
struct BlockedConsumer : Runnable {
    SyncQueue<int*>* q = nullptr;
    const struct timeval* wait = nullptr;
    std::atomic<bool> waiting{false};
    void* run(void*) override {
        int* out = nullptr;
        waiting = true;
        q->popFront(&out, wait);
        return nullptr;
    }
};

TEST(SyncQueue, CancelledConsumerDoesNotKeepTheMutex) {
    struct timeval minute = {60, 0};
    for (bool timed : {false, true}) {
        SyncQueue<int*> q;
        BlockedConsumer body;
        body.q = &q;
        body.wait = timed ? &minute : nullptr;
        Thread t("consumer", body, nullptr);
        ASSERT_TRUE(t.start());
        while (!body.waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(t.kill());

        std::atomic<bool> pushed{false};
        std::thread producer([&] {
            q.pushBack(item(1));
            q.close();
            pushed = true;
        });
        auto t0 = Clock::now();
        while (!pushed && msSince(t0) < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(pushed) << "queue mutex left locked by the cancelled consumer";
        producer.join();
        int* out = nullptr;
        EXPECT_EQ(q.popFront(&out, nullptr), 0);
        EXPECT_EQ(out, item(1));
    }
}

}  // namespace
