/* Preloaded (LD_PRELOAD) into a program under test to make system calls fail
 * that cannot be made to fail otherwise on a healthy machine:
 *   VELMAR_FAIL_FORK=1    every fork() fails with EAGAIN
 *   VELMAR_FAIL_THREAD=N  the N-th pthread_create() (counting from 1) fails
 *                         with EAGAIN; the others run normally
 *   VELMAR_REFUSE_PIDFD_GROUP=1  pidfd_send_signal() with
 *                         PIDFD_SIGNAL_PROCESS_GROUP fails with EINVAL, as
 *                         on kernels before 6.9
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/syscall.h>
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

typedef long (*syscall_fn)(long, ...);
static syscall_fn realSyscall;
static int refuseGroup;

/* Looked up at load time: syscall() may be called between fork and exec. */
__attribute__((constructor)) static void findSyscall(void) {
    realSyscall = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    const char* v = getenv("VELMAR_REFUSE_PIDFD_GROUP");
    refuseGroup = v != NULL && atoi(v) != 0;
}

long syscall(long number, ...) {
    /* Every caller here passes at most six arguments. */
    long a[6];
    va_list ap;
    va_start(ap, number);
    for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
    va_end(ap);
    if (refuseGroup && number == SYS_pidfd_send_signal && (a[3] & (1L << 2)) != 0) {
        errno = EINVAL;
        return -1;
    }
    return realSyscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
