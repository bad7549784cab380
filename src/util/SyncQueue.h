// Unbounded first-in-first-out queue of pointers between threads: any number
// of producers, one consumer, a timed popFront and a close flag.
//
// The queue never deletes an item. Whoever pops an item owns it; a producer
// whose pushBack fails (the queue is closed) still owns its item and deletes it.
// All members are guarded by `mutex`, except the two atomics; the consumer
// sleeps on `queueNotEmpty` with the mutex released, after looking for an item
// for the spin time when one is set.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <deque>

template <typename T>
class SyncQueue {
  public:
    SyncQueue() : closed(false) {
        pthread_mutex_init(&mutex, nullptr);
        pthread_cond_init(&queueNotEmpty, nullptr);
    }

    ~SyncQueue() {
        close();
        pthread_cond_destroy(&queueNotEmpty);
        pthread_mutex_destroy(&mutex);
    }

    SyncQueue(const SyncQueue&) = delete;
    SyncQueue& operator=(const SyncQueue&) = delete;

    // False, storing nothing, once the queue is closed.
    bool pushBack(const T& item) {
        pthread_mutex_lock(&mutex);
        if (closed) {
            pthread_mutex_unlock(&mutex);
            return false;
        }
        bool wasEmpty = queue.empty();
        queue.push_back(item);
        itemCount.store(queue.size(), std::memory_order_release);
        // Each queue has a single consumer, and it only waits on an empty queue.
        if (wasEmpty) pthread_cond_signal(&queueNotEmpty);
        pthread_mutex_unlock(&mutex);
        return true;
    }

    // Removes the oldest item into *out. `wait` is a relative time; null waits
    // without limit. Returns 0 for an item, -1 when the deadline passed with the
    // queue still empty, ENOENT (2) when the queue was closed and empty at the
    // call, EBADF (9) when it was closed while the caller waited, or the error
    // number of the condition wait.
    int popFront(T* out, const struct timeval* wait) {
        struct timespec deadline = {0, 0};
        if (wait != nullptr) {
            struct timeval now;
            gettimeofday(&now, nullptr);
            long long sec = static_cast<long long>(now.tv_sec) + wait->tv_sec;
            long long usec = static_cast<long long>(now.tv_usec) + wait->tv_usec;
            sec += usec / 1000000;
            usec %= 1000000;
            deadline.tv_sec = static_cast<time_t>(sec);
            deadline.tv_nsec = static_cast<long>(usec * 1000);
        }

        const long long spin = spinNanos.load(std::memory_order_relaxed);
        if (spin <= 0 || !spinForItem(spin)) pthread_mutex_lock(&mutex);

        int result = 0;
        if (closed && queue.empty()) {
            pthread_mutex_unlock(&mutex);
            return ENOENT;
        }
        // A consumer cancelled inside the wait wakes holding the mutex; the
        // handler releases it so that producers and close() do not hang.
        pthread_cleanup_push(&SyncQueue::unlockMutex, &mutex);
        while (!closed && queue.empty()) {
            int rc = wait != nullptr ? pthread_cond_timedwait(&queueNotEmpty, &mutex, &deadline)
                                     : pthread_cond_wait(&queueNotEmpty, &mutex);
            if (closed) {
                if (queue.empty()) result = EBADF;
                break;
            }
            if (!queue.empty()) break;
            if (rc == ETIMEDOUT) {
                result = -1;
                break;
            }
            if (rc != 0) {
                result = rc;
                break;
            }
        }
        if (result == 0) {
            *out = queue.front();
            queue.pop_front();
            itemCount.store(queue.size(), std::memory_order_release);
        }
        pthread_cleanup_pop(1);
        return result;
    }

    // Refuses further pushes and wakes every waiter. Items already queued are
    // still handed out.
    void close() {
        pthread_mutex_lock(&mutex);
        closed = true;
        pthread_cond_broadcast(&queueNotEmpty);
        pthread_mutex_unlock(&mutex);
    }

    // Lets popFront look for an item for up to `microseconds` before it
    // sleeps. For two threads that hand messages to each other many thousand
    // times a second a sleep and wake-up costs more than the wait; 0, the
    // default, sleeps at once. Any thread, any time.
    void setSpinWait(unsigned int microseconds) {
        spinNanos.store(static_cast<long long>(microseconds) * 1000, std::memory_order_relaxed);
    }

    size_t size() {
        pthread_mutex_lock(&mutex);
        size_t n = queue.size();
        pthread_mutex_unlock(&mutex);
        return n;
    }

  private:
    // Looks for an item for up to `nanos`. True, holding the mutex, once one
    // is queued and the mutex was free; false, not holding it, when the time
    // passed. The item is seen while its producer still holds the mutex: a
    // plain lock would then sleep in the kernel until the producer's unlock
    // wakes it, which costs more than the whole hand-over, so the mutex is
    // only tried, and the spin goes on while it is taken.
    bool spinForItem(long long nanos) {
        if (itemCount.load(std::memory_order_acquire) != 0 && pthread_mutex_trylock(&mutex) == 0)
            return true;
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            for (int i = 0; i < 64; ++i) {
                if (itemCount.load(std::memory_order_acquire) != 0 &&
                    pthread_mutex_trylock(&mutex) == 0)
                    return true;
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            }
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec) >= nanos)
                return false;
        }
    }

    static void unlockMutex(void* m) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)); }

    std::deque<T> queue;           // oldest first
    pthread_mutex_t mutex;         // guards every member
    pthread_cond_t queueNotEmpty;  // an item arrived or the queue closed
    bool closed;                   // once true, no push succeeds
    // queue.size(), for the spinning consumer. On a cache line of its own:
    // the consumer reads it in a tight loop, and sharing the line with the
    // mutex or the deque would take that line from the producer at every
    // step of its push.
    alignas(64) std::atomic<size_t> itemCount{0};
    std::atomic<long long> spinNanos{0};
};
