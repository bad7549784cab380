#include "FdIo.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace FdIo {
namespace {

long long nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes. Returns
// Ok when ready (including hang-up and error conditions, which the following
// read or write reports), TimedOut, or Error.
IoResult waitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        int r = poll(&p, 1, deadline.remainingMs());
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return IoResult::Error;
            }
            return IoResult::Ok;
        }
        if (r == 0) return IoResult::TimedOut;
        if (errno != EINTR) return IoResult::Error;
    }
}

}  // namespace

Deadline::Deadline(int timeoutMs) : endMs(timeoutMs < 0 ? -1 : nowMs() + timeoutMs) {}

int Deadline::remainingMs() const {
    if (endMs < 0) return -1;
    long long left = endMs - nowMs();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

IoResult readSome(int fd, void* buf, std::size_t cap, std::size_t& got, int timeoutMs) {
    got = 0;
    Deadline deadline(timeoutMs);
    for (;;) {
        if (timeoutMs >= 0) {
            IoResult w = waitFor(fd, POLLIN | POLLPRI, deadline);
            if (w != IoResult::Ok) return w;
        }
        ssize_t n = read(fd, buf, cap);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return IoResult::Ok;
        }
        if (n == 0) return IoResult::Eof;
        if (errno == EINTR) continue;
        // A non-blocking descriptor can still find nothing after poll; wait again.
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (timeoutMs >= 0) {
                if (deadline.passed()) return IoResult::TimedOut;
                continue;
            }
            IoResult w = waitFor(fd, POLLIN | POLLPRI, deadline);
            if (w != IoResult::Ok) return w;
            continue;
        }
        return IoResult::Error;
    }
}

IoResult writeAll(int fd, const void* data, std::size_t len, int timeoutMs) {
    const char* p = static_cast<const char*>(data);
    Deadline deadline(timeoutMs);
    while (len > 0) {
        std::size_t chunk = len;
        if (timeoutMs >= 0) {
            IoResult w = waitFor(fd, POLLOUT, deadline);
            if (w != IoResult::Ok) return w;
            if (chunk > PIPE_BUF) chunk = PIPE_BUF;
        }
        ssize_t n = write(fd, p, chunk);
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Deadline wait(timeoutMs < 0 ? -1 : deadline.remainingMs());
            IoResult w = waitFor(fd, POLLOUT, wait);
            if (w != IoResult::Ok) return w;
            continue;
        }
        if (n == 0) errno = EIO;  // write never returns 0 for len > 0; do not spin
        return IoResult::Error;
    }
    return IoResult::Ok;
}

}  // namespace FdIo
