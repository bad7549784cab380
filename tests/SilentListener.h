// A loopback TCP listener that never answers a connection attempt, standing
// for a collector host behind a firewall: it listens with a backlog of 0 and
// its accept queue is filled at once by a connection nobody accepts, so the
// kernel drops every later handshake and such connects stay pending.
// Header-only; the test's own thread only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace nettest {

class SilentListener {
  public:
    SilentListener() {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listenFd, 0) != 0 ||
            getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        fillerFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fillerFd < 0 || connect(fillerFd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return;
        port = std::to_string(ntohs(addr.sin_port));
        self = addr;
    }
    ~SilentListener() {
        if (fillerFd >= 0) close(fillerFd);
        if (listenFd >= 0) close(listenFd);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    // Whether a connect to it is still pending after waitMs: false where the
    // kernel answers anyway, and the test cannot show what it means to.
    bool silent(int waitMs = 100) const {
        if (port.empty()) return false;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        const sockaddr_in addr = self;
        bool pending = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
                       errno == EINPROGRESS;
        if (pending) {
            pollfd p = {fd, POLLOUT, 0};
            pending = poll(&p, 1, waitMs) == 0;
        }
        close(fd);
        return pending;
    }

    std::string port;  // empty when the listener could not be set up

  private:
    int listenFd = -1;
    int fillerFd = -1;
    sockaddr_in self = {};
};

}  // namespace nettest
