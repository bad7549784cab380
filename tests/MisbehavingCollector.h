// Collector stand-ins for the stall tests, on loopback: one that accepts and
// never reads, one that closes every connection at once, and one that reads
// all it gets through a small receive window, at most at a given rate.
// Header-only; each runs its accepts and reads on a thread of its own, the
// rest is for the test's thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

// A loopback collector that accepts every connection and then either keeps
// it without ever reading (its receive buffer made small before listen, so
// the sender's data piles up at once), closes it at once, or reads all it
// gets through that small window, as over a slow path, noting when each
// message came, at most at a given rate. One that never reads may be told to
// start reading, and any may be restarted on its port. Accepts (and reads) on a thread of its own;
// the rest is for the test's thread.
class MisbehavingCollector {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Mode { NeverReads, ClosesAtOnce, ReadsThroughSmallWindow };

    struct Arrival {
        uint32_t exportTime;
        Clock::time_point at;
    };

    // bytesPerSecond bounds the reads (ReadsThroughSmallWindow; 0 for none);
    // receiveBuffer 0 leaves the system's receive buffer.
    explicit MisbehavingCollector(Mode m, double bytesPerSecond = 0, int receiveBuffer = 4096)
        : mode(m), rate(bytesPerSecond), bufferSize(receiveBuffer) {
        listenOn(0);
    }
    ~MisbehavingCollector() {
        stopAccepting();
        for (int fd : held) close(fd);
        if (listenFd >= 0) close(listenFd);
    }
    MisbehavingCollector(const MisbehavingCollector&) = delete;
    MisbehavingCollector& operator=(const MisbehavingCollector&) = delete;

    size_t connections() const { return accepted.load(); }
    // As a collector that is restarted: its connections and listener close,
    // connects are refused for downMs, then it listens on its port again.
    bool restart(int downMs) {
        stopAccepting();
        for (int fd : held) close(fd);
        held.clear();
        received.clear();
        framed.clear();
        ended.clear();
        close(listenFd);
        std::this_thread::sleep_for(std::chrono::milliseconds(downMs));
        stop = false;
        return listenOn(static_cast<uint16_t>(std::stoi(port)));
    }
    // NeverReads: reads from now on, as ReadsThroughSmallWindow does.
    void startReading() { reads = true; }

    // ReadsThroughSmallWindow: every whole message so far, in order.
    std::vector<Arrival> arrivals() {
        std::lock_guard<std::mutex> hold(heldLock);
        return seen;
    }

    void stopAccepting() {
        stop = true;
        if (acceptor.joinable()) acceptor.join();
    }

    // Stops accepting, then reads every kept connection until the sender has
    // closed it (or nothing came for quietMs): one byte string per
    // connection, in the order they were accepted.
    std::vector<std::string> drain(int quietMs) {
        stopAccepting();
        std::vector<std::string> streams;
        char buf[65536];
        for (size_t i = 0; i < held.size(); ++i) {
            const int fd = held[i];
            std::string bytes = i < received.size() ? received[i] : std::string();
            for (;;) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, quietMs) <= 0) break;
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                bytes.append(buf, static_cast<size_t>(n));
            }
            streams.push_back(bytes);
        }
        return streams;
    }

    std::string port;  // empty when the listener could not be set up

  private:
    bool listenOn(uint16_t wanted) {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(wanted);
        socklen_t len = sizeof addr;
        const int on = 1;
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd < 0 || setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            (bufferSize > 0 &&
             setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize) != 0) ||
            bind(listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listenFd, 16) != 0 ||
            getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return false;
        port = std::to_string(ntohs(addr.sin_port));
        acceptor = std::thread([this] { acceptLoop(); });
        return true;
    }

    void acceptLoop() {
        while (!stop) {
            if (reads) readHeld();
            pollfd p = {listenFd, POLLIN, 0};
            if (poll(&p, 1, reads ? 0 : 50) <= 0) continue;
            const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++accepted;
            if (mode == Mode::ClosesAtOnce) {
                close(fd);
            } else {
                std::lock_guard<std::mutex> hold(heldLock);
                held.push_back(fd);
                received.emplace_back();
                framed.push_back(0);
                ended.push_back(false);
            }
        }
    }

    // Reads what the kept connections hold (waiting a little for it) and
    // frames it by the message header's length.
    void readHeld() {
        std::vector<pollfd> fds;
        // Connections the sender closed are left out (poll skips -1).
        for (size_t i = 0; i < held.size(); ++i)
            fds.push_back(pollfd{ended[i] ? -1 : held[i], POLLIN, 0});
        if (fds.empty() || poll(fds.data(), fds.size(), 20) <= 0) {
            if (fds.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return;
        }
        char buf[65536];
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            size_t room = sizeof buf;
            if (rate > 0) {
                // What the rate allows since the first read, less what was read.
                if (readTotal == 0) firstRead = Clock::now();
                const double allowed =
                    rate * std::chrono::duration<double>(Clock::now() - firstRead).count() + 4096;
                if (allowed <= static_cast<double>(readTotal)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                room = std::min(room, static_cast<size_t>(allowed - readTotal));
            }
            const ssize_t n = recv(fds[i].fd, buf, room, MSG_DONTWAIT);
            ended[i] = n == 0;
            if (n <= 0) continue;
            readTotal += static_cast<size_t>(n);
            std::string& bytes = received[i];
            bytes.append(buf, static_cast<size_t>(n));
            const Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> hold(heldLock);
            size_t& at = framed[i];
            while (bytes.size() - at >= 16) {
                const auto* h = reinterpret_cast<const unsigned char*>(bytes.data() + at);
                const size_t length = (static_cast<size_t>(h[2]) << 8) | h[3];
                if (length < 16 || bytes.size() - at < length) break;
                uint32_t exportTime;
                std::memcpy(&exportTime, h + 4, sizeof exportTime);
                seen.push_back({ntohl(exportTime), now});
                at += length;
            }
        }
    }

    const Mode mode;
    const double rate;
    const int bufferSize;
    std::atomic<bool> reads{mode == Mode::ReadsThroughSmallWindow};
    size_t readTotal = 0;  // acceptor thread
    Clock::time_point firstRead;
    int listenFd = -1;
    std::thread acceptor;
    std::atomic<bool> stop{false};
    std::atomic<size_t> accepted{0};
    std::mutex heldLock;  // held and seen, while the acceptor runs
    std::vector<int> held;
    // Acceptor thread, per held connection: the bytes read, and how many of
    // them are whole messages.
    std::vector<std::string> received;
    std::vector<size_t> framed;
    std::vector<bool> ended;
    std::vector<Arrival> seen;
};

}  // namespace nettest
