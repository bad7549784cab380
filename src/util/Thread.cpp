#include "Thread.h"

#include <sys/prctl.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

Runnable::Runnable() : args(nullptr), running(true) {
    pthread_mutex_init(&runningMutex, nullptr);
    name[0] = '\0';
}

Runnable::~Runnable() { pthread_mutex_destroy(&runningMutex); }

void Runnable::setName(const char* n) {
    if (n == nullptr) return;
    std::strncpy(name, n, sizeof(name) - 1);
    name[sizeof(name) - 1] = '\0';
}

bool Runnable::isRunning() {
    pthread_mutex_lock(&runningMutex);
    bool r = running;
    pthread_mutex_unlock(&runningMutex);
    return r;
}

void Runnable::setRunning(bool r) {
    pthread_mutex_lock(&runningMutex);
    running = r;
    pthread_mutex_unlock(&runningMutex);
}

void Runnable::stop() { setRunning(false); }

void* Runnable::internalRun(void* self) {
    Runnable* r = static_cast<Runnable*>(self);
    prctl(PR_SET_NAME, r->name, 0, 0, 0);
    return r->run(r->args);
}

size_t Thread::stackSize = 0;

Thread::Thread(const char* n, Runnable& r, void* a)
    : name(n ? n : ""), threadId(0), joinable(false), runnable(r), arg(a) {
    runnable.setArgs(arg);
    runnable.setName(n);
}

bool Thread::start() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    // A size the library refuses (below its minimum) keeps its default.
    if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize);
    runnable.setRunning(true);
    pthread_t id;
    int rc = pthread_create(&id, &attr, &Runnable::internalRun, &runnable);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::printf("Creation of thread failed with error: %s\n", std::strerror(rc));
        std::fflush(stdout);
        errno = rc;  // callers report the cause through errno
        return false;
    }
    threadId = id;
    joinable = true;
    return true;
}

static void reportJoinFailure(const std::string& name, int rc) {
    std::printf("Could not join in thread %s: %s\n", name.c_str(), std::strerror(rc));
    std::fflush(stdout);
}

bool Thread::join(void** retval) {
    if (!joinable) return false;
    int rc = pthread_join(threadId, retval);
    if (rc != 0) {
        reportJoinFailure(name, rc);
        return false;
    }
    joinable = false;
    return true;
}

static struct timespec deadlineIn(unsigned int seconds) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec ts;
    ts.tv_sec = now.tv_sec + seconds;
    ts.tv_nsec = now.tv_usec * 1000L;
    return ts;
}

bool Thread::joinTimed(void** retval, unsigned int seconds) {
    if (!joinable) return false;
    struct timespec ts = deadlineIn(seconds);
    int rc = pthread_timedjoin_np(threadId, retval, &ts);
    if (rc != 0) {
        reportJoinFailure(name, rc);
        return false;
    }
    joinable = false;
    return true;
}

bool Thread::kill() {
    if (!joinable) return false;
    int rc = pthread_cancel(threadId);
    if (rc != 0) {
        std::printf("Could not send cancel request to thread %s :%s", name.c_str(),
                    std::strerror(rc));
        std::fflush(stdout);
        return false;
    }
    struct timespec ts = deadlineIn(killJoinSeconds);
    rc = pthread_timedjoin_np(threadId, nullptr, &ts);
    if (rc != 0) {
        std::printf("Could not join in thread %s :%s", name.c_str(), std::strerror(rc));
        std::fflush(stdout);
        // Nobody will join it now; let it release its resources when it ends.
        if (rc == ETIMEDOUT) {
            pthread_detach(threadId);
            joinable = false;
        }
        return false;
    }
    joinable = false;
    return true;
}

void Thread::sleep(unsigned int seconds, unsigned int nanoseconds) {
    struct timespec ts;
    ts.tv_sec = seconds;
    ts.tv_nsec = nanoseconds;
    nanosleep(&ts, nullptr);
}
