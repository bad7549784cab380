/* Preloaded (LD_PRELOAD) into a program under test to make system calls fail
 * that cannot be made to fail otherwise on a healthy machine:
 *   VELMAR_FAIL_FORK=1    every fork() fails with EAGAIN
 *   VELMAR_FAIL_THREAD=N  the N-th pthread_create() (counting from 1) fails
 *                         with EAGAIN; the others run normally
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

pid_t fork(void) {
    const char* v = getenv("VELMAR_FAIL_FORK");
    if (v != NULL && atoi(v) != 0) {
        errno = EAGAIN;
        return -1;
    }
    pid_t (*real)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    return real();
}

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*fn)(void*), void* arg) {
    static int calls = 0;
    const char* v = getenv("VELMAR_FAIL_THREAD");
    if (v != NULL && atoi(v) == __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST)) return EAGAIN;
    create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    return real(t, a, fn, arg);
}
