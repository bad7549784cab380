// A Runnable that serves one input queue and its own timers on its thread:
// each queued item goes to readAndProcess, each due timer to timerEvent.
// stop() clears the running flag and closes the queue; the body then hands
// every item queued before the close to readAndProcess and returns.
//
// Producers on any thread push through getMsgQueue(); the timer list is
// touched only by the actor's own thread (or before that thread starts).
// The actor owns neither the items nor the timer objects.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>

#include "Logger.h"
#include "SyncQueue.h"
#include "Thread.h"
#include "TimerList.h"

template <typename T>
class Actor : public Runnable {
  public:
    Actor() : ready(false), terminated(false), log(nullptr) {
        pthread_mutex_init(&mutex, nullptr);
        pthread_mutex_init(&gateMutex, nullptr);
        pthread_cond_init(&gateChanged, nullptr);
    }

    ~Actor() override {
        timers.clear();
        pthread_cond_destroy(&gateChanged);
        pthread_mutex_destroy(&gateMutex);
        pthread_mutex_destroy(&mutex);
    }

    void* run(void*) override {
        for (;;) {
            if (!isRunning()) {
                drain();
                return nullptr;
            }
            T item{};
            int rc;
            if (!timers.empty()) {
                uint64_t wait = timers.getWaitTime();
                struct timeval tv;
                tv.tv_sec = static_cast<time_t>(wait / 1000000);
                tv.tv_usec = static_cast<suseconds_t>(wait % 1000000);
                rc = queue.popFront(&item, &tv);
            } else {
                rc = queue.popFront(&item, nullptr);
            }
            if (rc == 0) {
                readAndProcess(item);
                if (!isRunning()) {
                    drain();
                    return nullptr;
                }
                continue;
            }
            if (rc == -1) {
                uint64_t id = 0;
                void* object = timers.getTopEvent(id);
                timerEvent(id, object);
                continue;
            }
            if (isRunning() && log != nullptr)
                log->logError("Reading from queue failed: %d: %s", rc, std::strerror(rc));
            drain();
            return nullptr;
        }
    }

    void stop() override {
        Runnable::stop();
        queue.close();
    }

    virtual void readAndProcess(T& item) = 0;
    virtual void timerEvent(unsigned long id, void* object) = 0;

    SyncQueue<T>& getMsgQueue() { return queue; }

    void lock() { pthread_mutex_lock(&mutex); }
    void unlock() { pthread_mutex_unlock(&mutex); }

    // Gates a derived class opens when its output is ready and when it has
    // shut down. Flags under a condition variable, so that no mutex is ever
    // destroyed while locked.
    void setReady() { openGate(ready); }
    void setTerminated() { openGate(terminated); }
    void waitUntilReady() {
        pthread_mutex_lock(&gateMutex);
        while (!ready) pthread_cond_wait(&gateChanged, &gateMutex);
        pthread_mutex_unlock(&gateMutex);
    }
    bool isReady() { return gateIsOpen(ready); }
    bool isTerminated() { return gateIsOpen(terminated); }

  protected:
    // Timers: only from the actor's own thread, or before it starts.
    uint64_t addPeriodicTimer(uint64_t delayMicros, uint64_t periodMicros, void* object) {
        return timers.addPeriodicEvent(delayMicros, periodMicros, object);
    }
    uint64_t addOneShotTimer(uint64_t delayMicros, void* object) {
        return timers.addEvent(delayMicros, object);
    }
    void removeTimer(uint64_t id) { timers.remove(id); }

    void setLog(Logger* l) { log = l; }

  private:
    // Hands every item still queued to readAndProcess. The queue is closed
    // first so that the last pop returns instead of waiting for an item that
    // nobody will push.
    void drain() {
        queue.close();
        T item{};
        while (queue.popFront(&item, nullptr) == 0) readAndProcess(item);
    }

    void openGate(bool& gate) {
        pthread_mutex_lock(&gateMutex);
        gate = true;
        pthread_cond_broadcast(&gateChanged);
        pthread_mutex_unlock(&gateMutex);
    }

    bool gateIsOpen(const bool& gate) {
        pthread_mutex_lock(&gateMutex);
        bool open = gate;
        pthread_mutex_unlock(&gateMutex);
        return open;
    }

    pthread_mutex_t mutex;       // general lock for the derived class
    pthread_mutex_t gateMutex;   // guards ready and terminated
    pthread_cond_t gateChanged;  // broadcast when a gate opens
    bool ready;
    bool terminated;
    SyncQueue<T> queue;
    TimerList<void*> timers;  // actor's own thread only
    Logger* log;              // where the body reports a failed queue read; set once before start
};
