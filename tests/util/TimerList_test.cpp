#include "TimerList.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace {

void* obj(intptr_t v) { return reinterpret_cast<void*>(v); }
intptr_t val(void* p) { return reinterpret_cast<intptr_t>(p); }

constexpr uint64_t SEC = 1000000;

TEST(TimerList, OneShotTimersFireInDeadlineOrderAfterRemovals) {
    TimerList<void*> timers;
    std::map<intptr_t, uint64_t> ids;
    for (intptr_t s : {3, 39, 24, 89, 50, 26}) ids[s] = timers.addEvent(s * SEC, obj(s));
    timers.remove(ids[50]);
    timers.remove(ids[50]);  // no longer armed: ignored
    timers.remove(12345);    // never armed: ignored
    for (intptr_t s : {51, 58}) ids[s] = timers.addEvent(s * SEC, obj(s));

    std::vector<intptr_t> order;
    while (!timers.empty()) {
        uint64_t id = 0;
        intptr_t s = val(timers.getTopEvent(id));
        EXPECT_EQ(id, ids[s]);
        order.push_back(s);
    }
    EXPECT_EQ(order, (std::vector<intptr_t>{3, 24, 26, 39, 51, 58, 89}));
}

TEST(TimerList, EqualDeadlinesFireInObjectOrder) {
    TimerList<void*> timers;
    struct timeval at;
    gettimeofday(&at, nullptr);
    for (intptr_t v : {0x3000, 0x1000, 0x4000, 0x2000}) timers.addPeriodicEventAt(at, 0, obj(v));
    std::vector<intptr_t> order;
    uint64_t id;
    while (!timers.empty()) order.push_back(val(timers.getTopEvent(id)));
    EXPECT_EQ(order, (std::vector<intptr_t>{0x1000, 0x2000, 0x3000, 0x4000}));
}

TEST(TimerList, WaitTimeIsZeroForAPastDeadline) {
    TimerList<void*> timers;
    struct timeval past;
    gettimeofday(&past, nullptr);
    past.tv_sec -= 5;
    timers.addPeriodicEventAt(past, 0, obj(1));
    EXPECT_EQ(timers.getWaitTime(), 0u);
    TimerList<void*> later;
    later.addEvent(2 * SEC, obj(1));
    EXPECT_GT(later.getWaitTime(), SEC);
    EXPECT_LE(later.getWaitTime(), 2 * SEC);
}

// A periodic timer served late is re-armed on its old phase, not from the
// time it was served, and keeps its id.
TEST(TimerList, LatePeriodicTimerKeepsItsPhase) {
    TimerList<void*> timers;
    uint64_t armed = timers.addPeriodicEvent(0, SEC, obj(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint64_t id = 0;
    EXPECT_EQ(timers.getTopEvent(id), obj(1));
    EXPECT_EQ(id, armed);
    ASSERT_FALSE(timers.empty());
    uint64_t wait = timers.getWaitTime();
    EXPECT_GT(wait, 0u);
    EXPECT_LT(wait, 750000u) << "re-armed from the late firing instead of the old deadline";
}

// Served more than a period late (a stall, a clock step): it fires once and
// its next deadline is the first one on its phase after now, instead of a
// burst of back-to-back firings for every missed period.
TEST(TimerList, TimerLateByManyPeriodsFiresOnce) {
    TimerList<void*> timers;
    struct timeval start;
    gettimeofday(&start, nullptr);
    start.tv_sec -= 10;  // ten seconds behind, period 300 ms
    uint64_t armed = timers.addPeriodicEventAt(start, 300000, obj(1));
    uint64_t id = 0;
    timers.getTopEvent(id);
    EXPECT_EQ(id, armed);
    uint64_t wait = timers.getWaitTime();
    EXPECT_GT(wait, 0u);
    EXPECT_LE(wait, 300000u);
    // Phase: 10 s is a whole number of periods short of 34 x 300 ms = 10.2 s.
    EXPECT_GT(wait, 100000u);
}

// The heap against a sorted reference under random arming, removal and firing.
TEST(TimerList, RandomOperationsMatchASortedReference) {
    std::mt19937 rng(42);
    TimerList<void*> timers;
    std::map<std::pair<int64_t, intptr_t>, uint64_t> reference;  // (deadline, object) -> id
    struct timeval base;
    gettimeofday(&base, nullptr);
    base.tv_sec += 1000;  // far future: nothing re-arms, order is by deadline only
    intptr_t nextObj = 1;
    for (int step = 0; step < 20000; ++step) {
        int op = static_cast<int>(rng() % 10);
        if (op < 5 || reference.empty()) {
            struct timeval at = base;
            int64_t offset = static_cast<int64_t>(rng() % 200);  // many equal deadlines
            at.tv_sec += offset;
            intptr_t o = nextObj++;
            reference[{offset, o}] = timers.addPeriodicEventAt(at, 0, obj(o));
        } else if (op < 8) {
            auto it = reference.begin();
            std::advance(it, rng() % reference.size());
            timers.remove(it->second);
            reference.erase(it);
        } else {
            uint64_t id = 0;
            intptr_t o = val(timers.getTopEvent(id));
            ASSERT_EQ(o, reference.begin()->first.second);
            ASSERT_EQ(id, reference.begin()->second);
            reference.erase(reference.begin());
        }
        ASSERT_EQ(timers.size(), reference.size());
    }
}

}  // namespace
