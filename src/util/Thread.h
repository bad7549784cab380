// Named POSIX threads. A Runnable carries the body and a running flag that the
// body polls; a Thread starts a joinable thread for it and joins, joins with a
// time-out, or cancels it.
//
// Ownership: a Thread owns neither its Runnable nor the argument; the creator
// deletes the Runnable after the join. A Thread is used by the one thread that
// creates, starts and joins it. Failures are reported as false results plus one
// line on standard output, never through the log: the logging backend itself
// runs on a Thread.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <string>

class Runnable {
  public:
    Runnable();
    virtual void* run(void* args) = 0;
    virtual ~Runnable();
    // Clears the running flag; subclasses extend it (the actor also closes its queue).
    virtual void stop();

    void setArgs(void* a) { args = a; }
    // Copies at most 15 characters; a null name keeps the previous one.
    void setName(const char* n);
    const char* getName() const { return name; }
    bool isRunning();

    // Start routine handed to pthread_create: names the thread, then runs the body.
    static void* internalRun(void* self);

  private:
    friend class Thread;
    void setRunning(bool r);

    void* args;
    pthread_mutex_t runningMutex;  // guards running
    char name[16];
    bool running;
};

class Thread {
  public:
    Thread(const char* name, Runnable& runnable, void* arg);
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False, with errno set to the cause, when the thread could not be created.
    bool start();
    // Both return false, without waiting, for a thread that never started or
    // was already joined (or detached by kill).
    bool join(void** retval);
    bool joinTimed(void** retval, unsigned int seconds);
    // Cancels the thread and joins it. The join after the cancel is bounded
    // (killJoinSeconds), so a body without a cancellation point cannot hang
    // the caller; such a thread is detached and left to end by itself.
    bool kill();
    static void sleep(unsigned int seconds, unsigned int nanoseconds);
    bool isRunning() { return runnable.isRunning(); }
    const std::string& getName() const { return name; }
    bool started() const { return threadId != 0; }

    static constexpr unsigned int killJoinSeconds = 3;

    // The stack size of every thread started afterwards; 0 (the default)
    // leaves the thread library's own, the process's stack limit. Set once by
    // a program's main before its first thread starts.
    static void setStackSize(size_t bytes) { stackSize = bytes; }

  private:
    static size_t stackSize;

    const std::string name;
    pthread_t threadId;
    // False once the last started thread was joined or detached: its id must
    // not be handed to the thread library again.
    bool joinable;
    Runnable& runnable;
    void* arg;
};
