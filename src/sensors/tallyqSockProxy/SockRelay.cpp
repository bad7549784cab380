#include "SockRelay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FdIo.h"

namespace SockRelay {

void SharedSocket::shutdownOnce() {
    if (!shutDown.exchange(true)) shutdown(fd, SHUT_RDWR);
}

void Worker::release(int fd) {
    if (fd == sock.fd) {
        sock.shutdownOnce();
    } else {
        close(fd);
    }
}

void Worker::endDirection() {
    release(srcSock);
    release(dstSock);
    if (other != nullptr) other->stop();
}

void* Worker::run(void* args) {
    const SockPair* pair = static_cast<const SockPair*>(args);
    srcSock = pair->src;
    dstSock = pair->dst;

    struct pollfd readFD;
    readFD.fd = srcSock;
    readFD.events = POLLIN | POLLPRI;
    // Count of the last read; stays 0 until data has arrived, so a direction
    // that hears nothing in its first poll period ends.
    ssize_t n = 0;
    for (;;) {
        readFD.revents = 0;
        int r = poll(&readFD, 1, pollPeriodMs);
        if (r > 0) {
            do {
                n = read(srcSock, buf, sizeof buf);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) break;
            // A short write must not drop the rest of the chunk; a failed one
            // means the destination is gone.
            if (FdIo::writeAll(dstSock, buf, static_cast<std::size_t>(n), -1) !=
                FdIo::IoResult::Ok) {
                break;
            }
        } else if (r == 0) {
            if (n <= 0) break;
        } else if (errno != EINTR) {
            break;
        }
        if (!isRunning()) break;
    }
    endDirection();
    return nullptr;
}

int connectSocket(const std::string& path, std::string& message) {
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        message = std::string("Failed to create socket: ") + std::strerror(errno) + " \n";
        return -1;
    }
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    int err = 0;
    if (path.size() >= sizeof addr.sun_path) {
        // Would be cut short and reach another socket; refuse instead.
        err = ENAMETOOLONG;
    } else {
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        int rc;
        do {
            rc = connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) err = errno;
    }
    if (err != 0) {
        close(s);
        message = "Failed to connect to " + path + ": " + std::strerror(err) + "\n";
        return -1;
    }
    return s;
}

int relayStreams(int inFd, int outFd, int socketFd) {
    SharedSocket sock;
    sock.fd = socketFd;
    Worker worker1(sock);
    Worker worker2(sock);
    worker1.setOther(&worker2);
    worker2.setOther(&worker1);
    SockPair socksA = {inFd, socketFd};
    SockPair socksB = {socketFd, outFd};

    Thread fromTo("FromTo thread", worker1, &socksA);
    Thread toFrom("ToFrom thread", worker2, &socksB);
    int rc = 0;
    if (!fromTo.start()) {
        close(inFd);
        close(outFd);
        rc = -1;
    } else if (!toFrom.start()) {
        // Never join a thread that did not start; stop and join the one that
        // did (it closes its own descriptors as it ends).
        worker1.stop();
        sock.shutdownOnce();
        fromTo.join(nullptr);
        close(outFd);
        rc = -1;
    } else {
        toFrom.join(nullptr);
        fromTo.join(nullptr);
    }
    close(socketFd);
    return rc;
}

}  // namespace SockRelay
