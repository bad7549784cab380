// The byte relay between TallyqSockRelay's standard streams and the
// filesystem's statistics socket: two Worker threads, "FromTo thread"
// (standard input to the socket) and "ToFrom thread" (the socket to standard
// output). Bytes pass unchanged; framing belongs to the daemon's statistics
// channel.
//
// Lifetimes: a direction that sees no data within its first poll period ends,
// so does one whose source ends or fails or whose destination fails. Ending,
// it closes its own standard stream, shuts the socket down (once, whichever
// direction comes first) and stops its partner, which notices within one poll
// period. The socket itself is closed once, by relayStreams after both
// directions have been joined, so neither thread can close a descriptor the
// other is still using.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "Thread.h"

namespace SockRelay {

constexpr char tallyqSocketPath[] = "/var/qorm/tallyq/tallyqSocket";
constexpr int pollPeriodMs = 1000;
constexpr std::size_t chunkSize = 4096;

// The connected socket shared by both directions. Set before the threads
// start; shutDown is the only member they change.
struct SharedSocket {
    int fd = -1;
    std::atomic<bool> shutDown{false};
    void shutdownOnce();
};

// Argument record of a direction: source then destination descriptor.
struct SockPair {
    int src;
    int dst;
};

// One direction of the copy. Owned by relayStreams; its run() is the body of
// one thread, and only stop() is called from the other.
class Worker : public Runnable {
  public:
    explicit Worker(SharedSocket& socket) : sock(socket) {}
    void* run(void* args) override;
    ~Worker() override = default;

    void setOther(Runnable* partner) { other = partner; }

  private:
    void endDirection();
    void release(int fd);

    // Touched by this worker's thread only (set up before it starts).
    int srcSock = 0;
    int dstSock = 0;
    char buf[chunkSize];
    Runnable* other = nullptr;  // the partner direction, stopped when this one ends
    SharedSocket& sock;
};

// Creates a UNIX stream socket connected to path. On failure returns -1 and
// sets message to the line to print ("Failed to ... \n").
int connectSocket(const std::string& path, std::string& message);

// Relays between inFd/outFd and the connected socket until both directions
// have ended; closes all three descriptors. Returns 0, or -1 when a direction
// thread could not be started (Thread::start has reported it).
int relayStreams(int inFd, int outFd, int socketFd);

}  // namespace SockRelay
