// One-shot and periodic timers on wall-clock deadlines, kept in a Heap so
// that arming, firing and removing cost O(log n). Every timer has an id that
// stays the same across the re-arms of a periodic timer.
//
// Not thread-safe: only the thread that owns the list (the controller thread,
// or an actor's own thread) touches it. The list does not own the objects.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "Heap.h"

template <typename T>
class TimerList {
  public:
    struct TimerEvent {
        struct timeval timeout;  // absolute wall-clock deadline
        uint64_t period;         // microseconds; 0 for a one-shot timer
        T object;                // handed back when the timer fires
    };

    // Deadline first (seconds, then microseconds, both signed), then the
    // object's own order, so equal deadlines fire in object order.
    struct timerIsBefore_t {
        bool operator()(const TimerEvent& a, const TimerEvent& b) const {
            if (a.timeout.tv_sec != b.timeout.tv_sec) return a.timeout.tv_sec < b.timeout.tv_sec;
            if (a.timeout.tv_usec != b.timeout.tv_usec)
                return a.timeout.tv_usec < b.timeout.tv_usec;
            return a.object < b.object;
        }
    };

    // Arms a timer due timeoutMicros from now, then every `period`
    // microseconds (0: once). Returns its id.
    uint64_t addPeriodicEvent(uint64_t timeoutMicros, uint64_t period, const T& obj) {
        struct timeval deadline = now();
        advance(deadline, timeoutMicros);
        return addPeriodicEventAt(deadline, period, obj);
    }

    uint64_t addEvent(uint64_t timeoutMicros, const T& obj) {
        return addPeriodicEvent(timeoutMicros, 0, obj);
    }

    // Arms a timer at an absolute wall-clock deadline.
    uint64_t addPeriodicEventAt(const struct timeval& deadline, uint64_t period, const T& obj) {
        return timerHeap.push(TimerEvent{deadline, period, obj});
    }

    bool empty() const { return timerHeap.empty(); }
    size_t size() const { return timerHeap.size(); }

    // Microseconds from now until the earliest deadline; 0 when it has passed.
    // Only on a non-empty list.
    uint64_t getWaitTime() const {
        int64_t d = diffMicros(timerHeap.top().timeout, now());
        return d > 0 ? static_cast<uint64_t>(d) : 0;
    }

    // Removes the earliest timer, stores its id and returns its object. Only on
    // a non-empty list, once the earliest deadline has passed. A periodic timer
    // is re-armed under the same id at its old deadline plus its period; when
    // that is still not after now (the timer was served more than a period
    // late, e.g. after a stall or a clock step), at the first deadline on the
    // same phase after now, so it fires once instead of once per missed period.
    T getTopEvent(uint64_t& id) {
        id = timerHeap.topId();
        TimerEvent ev = timerHeap.top();
        timerHeap.pop();
        if (ev.period != 0) {
            int64_t late = diffMicros(now(), ev.timeout);
            uint64_t periods = 1;
            if (late >= 0) periods = static_cast<uint64_t>(late) / ev.period + 1;
            advanceEventTime(ev.timeout, ev.period * periods);
            timerHeap.pushWithId(id, ev);
        }
        return ev.object;
    }

    // Disarms a timer; an id that is not armed is ignored.
    void remove(uint64_t id) { timerHeap.remove(id); }

    void clear() { timerHeap.clear(); }

    ~TimerList() { timerHeap.clear(); }

  private:
    static struct timeval now() {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return tv;
    }

    static void advance(struct timeval& tv, uint64_t micros) {
        uint64_t usec = static_cast<uint64_t>(tv.tv_usec) + micros;
        tv.tv_sec += static_cast<time_t>(usec / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(usec % 1000000);
    }

    static void advanceEventTime(struct timeval& tv, uint64_t period) { advance(tv, period); }

    // a - b in microseconds.
    static int64_t diffMicros(const struct timeval& a, const struct timeval& b) {
        return (static_cast<int64_t>(a.tv_sec) - b.tv_sec) * 1000000 +
               (static_cast<int64_t>(a.tv_usec) - b.tv_usec);
    }

    Heap<TimerEvent, timerIsBefore_t> timerHeap;
};
