// The channel to the Ceph relay program (configuration key `cephRados`): one
// process-wide instance, counted by reference, shared by the Ceph cluster and
// pool sensors and so by one relay process. A query writes one request line
// ("cluster" or "pool") and reads the reply lines up to a line holding a
// single ".".
//
// Ownership: the class owns the instance and the relay's pipes. getInstance
// creates the instance (and starts the relay) at the first bind; the
// closeInstance that balances the last bind closes the pipes, which ends the
// relay at end of its input, and deletes the instance; the relay's process
// group is ended with it, as at a time-out and at daemon stop (a relay still
// answering is then ended by ChildChannel::abandonForStop). A bind after that
// creates a fresh one. When the relay is unusable at creation the instance
// stays null for as long as anyone holds a binding.
//
// Threads: the sensors' threads call every operation. One class-wide mutex
// guards the instance pointer and the count and serialises every query (for
// the whole exchange, so the two sensors take turns) and every close.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ChildChannel.h"
#include "LoggerStub.h"

class CephStub {
  public:
    // The shared channel, or null when the relay is unusable. Every call,
    // also one that returns null, counts one holder; only holders that got a
    // channel call closeInstance.
    static CephStub* getInstance();
    // Releases one holder; the last release closes the channel and deletes it.
    static void closeInstance();

    // Sends request and returns the reply lines, each with its newline,
    // without the end line; the empty string when the channel is unusable. A
    // closed channel is restarted at most once every 2 seconds. The empty
    // string, without a message, when the daemon's stop refused the request
    // or cut its reply off (see isStopping).
    const std::string executeQuery(const std::string& request);
    // Whether the daemon's stop has begun: its signal came, or it abandoned
    // the channel. From then on an empty reply is the stop's doing, not a
    // failure of the relay, and callers pass over it without a message. Any
    // thread, without a lock.
    bool isStopping() const;

    ~CephStub();
    CephStub(const CephStub&) = delete;
    CephStub& operator=(const CephStub&) = delete;

    // Longest wait for a reply to complete, and for the request to be taken;
    // a relay that stops answering is closed and restarted later.
    static void setReplyTimeoutMs(int ms);
    static int replyTimeoutMs();

    // Longest reply line, and longest whole reply, accepted from the relay.
    static constexpr std::size_t MAX_LINE = 64 * 1024;
    static constexpr std::size_t MAX_REPLY = 16 * 1024 * 1024;
    // Exit status of a relay child that could not redirect its streams or exec.
    static constexpr int CHILD_FAIL_STATUS = 69;

  private:
    CephStub();

    // Start the relay; true when both pipes are connected. Caller holds mutex
    // (or is the constructor, before the instance is published).
    bool connectCeph();
    // Close both pipes and forget the child. Caller holds mutex.
    void closeCeph();
    bool proxyExists() const { return !proxyExec.empty(); }
    bool isOperational() const { return channel.isOpen(); }

    // Set by the constructor, except where noted; otherwise touched only with
    // mutex held.
    LoggerStub log;
    std::string proxyExec;  // emptied when unusable
    ChildChannel channel;   // the relay, its pipes and the reader over its output

    // Guarded by mutex.
    static CephStub* cephStub;
    static uint32_t refCounter;
    static bool created;  // creation attempted since the last destruction
    static std::mutex mutex;
};
