#include "Actor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Collects error lines so the test can assert on them.
struct RecordingLogger : Logger {
    mutable std::mutex m;
    mutable std::vector<std::string> lines;
    void record(const char* fmt, va_list ap) const {
        char buf[1024];
        vsnprintf(buf, sizeof(buf), fmt, ap);
        std::lock_guard<std::mutex> g(m);
        lines.push_back(buf);
    }
#define RECORD         \
    va_list ap;        \
    va_start(ap, fmt); \
    record(fmt, ap);   \
    va_end(ap)
    void logDebug(const char* fmt, ...) const override { RECORD; }
    void logInfo(const char* fmt, ...) const override { RECORD; }
    void logWarning(const char* fmt, ...) const override { RECORD; }
    void logError(const char* fmt, ...) const override { RECORD; }
    void logFatalAndStop(const char* fmt, ...) const override { RECORD; }
#undef RECORD
};

struct TestActor : Actor<int*> {
    std::mutex m;
    std::vector<intptr_t> items;
    std::vector<std::pair<unsigned long, intptr_t>> fired;
    std::atomic<int> slowFirst{0};  // milliseconds to spend on the first item

    explicit TestActor(Logger* l = nullptr) { setLog(l); }
    void readAndProcess(int*& item) override {
        if (slowFirst > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(slowFirst.exchange(0)));
        }
        std::lock_guard<std::mutex> g(m);
        items.push_back(reinterpret_cast<intptr_t>(item));
    }
    void timerEvent(unsigned long id, void* object) override {
        std::lock_guard<std::mutex> g(m);
        fired.emplace_back(id, reinterpret_cast<intptr_t>(object));
    }
    using Actor<int*>::addOneShotTimer;
    using Actor<int*>::addPeriodicTimer;
    using Actor<int*>::removeTimer;
    size_t itemCount() {
        std::lock_guard<std::mutex> g(m);
        return items.size();
    }
    size_t firedCount() {
        std::lock_guard<std::mutex> g(m);
        return fired.size();
    }
};

int* item(intptr_t v) { return reinterpret_cast<int*>(v); }

bool waitFor(const std::function<bool()>& cond, int ms = 5000) {
    auto t0 = Clock::now();
    while (!cond()) {
        if (Clock::now() - t0 > std::chrono::milliseconds(ms)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(Actor, StopProcessesEveryQueuedItemOnce) {
    TestActor a;
    a.slowFirst = 100;  // so that the rest is still queued when stop() comes
    Thread t("actor", a, nullptr);
    ASSERT_TRUE(t.start());
    for (intptr_t i = 1; i <= 100; ++i) ASSERT_TRUE(a.getMsgQueue().pushBack(item(i)));
    a.stop();
    EXPECT_FALSE(a.getMsgQueue().pushBack(item(999)));
    ASSERT_TRUE(t.joinTimed(nullptr, 10));
    std::vector<intptr_t> expected;
    for (intptr_t i = 1; i <= 100; ++i) expected.push_back(i);
    EXPECT_EQ(a.items, expected);
}

TEST(Actor, ServesTimersBetweenItems) {
    TestActor a;
    uint64_t once = a.addOneShotTimer(20000, item(1));
    uint64_t periodic = a.addPeriodicTimer(0, 30000, item(2));
    uint64_t removed = a.addOneShotTimer(10000, item(3));
    a.removeTimer(removed);
    Thread t("actor", a, nullptr);
    ASSERT_TRUE(t.start());
    a.getMsgQueue().pushBack(item(10));
    EXPECT_TRUE(waitFor([&] { return a.firedCount() >= 5; }));
    a.stop();
    ASSERT_TRUE(t.joinTimed(nullptr, 10));
    EXPECT_EQ(a.items, std::vector<intptr_t>{10});
    int onceCount = 0, periodicCount = 0;
    for (auto& f : a.fired) {
        if (f.first == once) {
            ++onceCount;
            EXPECT_EQ(f.second, 1);
        } else {
            EXPECT_EQ(f.first, periodic);
            EXPECT_EQ(f.second, 2);
            ++periodicCount;
        }
    }
    EXPECT_EQ(onceCount, 1);
    EXPECT_GE(periodicCount, 4);
}

// With the running flag cleared but the queue left open, the body must still
// end after the item in hand instead of waiting for ever in its drain.
TEST(Actor, DrainEndsWhenOnlyTheFlagWasCleared) {
    TestActor a;
    Thread t("actor", a, nullptr);
    ASSERT_TRUE(t.start());
    a.Runnable::stop();
    a.getMsgQueue().pushBack(item(5));
    ASSERT_TRUE(t.joinTimed(nullptr, 10));
    EXPECT_EQ(a.items, std::vector<intptr_t>{5});
    EXPECT_FALSE(a.getMsgQueue().pushBack(item(6)));
}

// A queue closed under a running actor is an unexpected read failure: logged,
// then the body drains and ends.
TEST(Actor, QueueClosedUnderARunningActorIsLogged) {
    RecordingLogger log;
    TestActor a(&log);
    Thread t("actor", a, nullptr);
    ASSERT_TRUE(t.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a.getMsgQueue().close();
    ASSERT_TRUE(t.joinTimed(nullptr, 10));
    ASSERT_EQ(log.lines.size(), 1u);
    // 9 when the body was waiting at the close (the usual case), 2 when it came
    // to the queue only after.
    EXPECT_TRUE(log.lines[0] == "Reading from queue failed: 9: Bad file descriptor" ||
                log.lines[0] == "Reading from queue failed: 2: No such file or directory")
        << log.lines[0];
}

TEST(Actor, ReadyGateOpensOnce) {
    TestActor a;
    EXPECT_FALSE(a.isReady());
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        a.setReady();
    });
    a.waitUntilReady();
    EXPECT_TRUE(a.isReady());
    opener.join();
    EXPECT_FALSE(a.isTerminated());
    a.setTerminated();
    EXPECT_TRUE(a.isTerminated());
}

}  // namespace
