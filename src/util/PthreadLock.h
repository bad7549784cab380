// Scoped hold of a plain pthread mutex, for the singletons whose mutexes are
// static, initialised by PTHREAD_MUTEX_INITIALIZER and never destroyed.
#pragma once

#include <pthread.h>

class PthreadLock {
  public:
    explicit PthreadLock(pthread_mutex_t& m) : mutex(m) { pthread_mutex_lock(&mutex); }
    ~PthreadLock() { pthread_mutex_unlock(&mutex); }
    PthreadLock(const PthreadLock&) = delete;
    PthreadLock& operator=(const PthreadLock&) = delete;

  private:
    pthread_mutex_t& mutex;
};
