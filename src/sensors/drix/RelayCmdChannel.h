// The channel to one of the command relays (CapqRelay, AdmCmdRelay): the relay
// runs as a child over two pipes; a request is one line, the reply is the
// lines the relay writes before its end line. CAPQStub and ADMCmdStub are its
// two process-wide singletons (CAPQStub.h, ADMCmdStub.h); they differ only in
// the names below.
//
// Ownership: a RelayCmdChannel owns its relay process and pipes. Closing an
// idle channel closes the relay's input, which ends it; a relay given up on
// while it is still answering (time-out, over-long reply) is sent SIGTERM
// before ChildProcess::release closes its pipes and ends whatever still runs.
// The caller of executeCmd owns the returned vector. At daemon stop, a
// channel that a sensor thread is still waiting on is abandoned from the main
// thread (ChildChannel::abandonForStop, with every other busy channel at
// once): its relay is told to end, which ends the tool it runs, and the
// channel never starts another.
//
// Threads: any sensor thread calls executeCmd. The mutex given to the
// constructor serialises every exchange (held from the first look at the
// pipes until the reply is complete) and every close; the singletons give
// their class-wide mutex, so two channels never wait for each other.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ChildChannel.h"
#include "LoggerStub.h"

class RelayCmdChannel {
  public:
    // What tells the two relays apart. Formats take one %s each.
    struct Names {
        const char* configKey;         // configuration key of the relay's path
        const char* endLine;           // the reply's end line, newline included
        const char* loggerName;        // component name in the log
        const char* notUsableMessage;  // the path is not a readable executable (%s: path)
        const char* noEndMessage;      // the reply ended before its end line (%s: request)
    };

    // Reads the relay path from SensorCtrl::config and starts the relay. When
    // the path is not readable and executable, logs notUsableMessage and
    // leaves proxyExists() false.
    RelayCmdChannel(const Names& names, pthread_mutex_t& mutex);
    ~RelayCmdChannel();
    RelayCmdChannel(const RelayCmdChannel&) = delete;
    RelayCmdChannel& operator=(const RelayCmdChannel&) = delete;

    // Sends request (one line) and returns the reply lines in a new vector,
    // each with its newline and in pieces of at most LINE_PIECE bytes, the end
    // line not included; an empty reply is an empty vector. Null when the
    // channel is closed and may not restart yet, when the request cannot be
    // written, or when the reply fails (end of input, time-out, too long);
    // each of those failures closes the channel. Null without a message when
    // the daemon's stop refused the request or cut its reply off (see
    // isStopping).
    std::vector<std::string>* executeCmd(const std::string& request);

    // Whether the daemon's stop has begun: its signal came, or it abandoned
    // the channel. From then on a reply, or its lack, is the stop's doing,
    // not a failure of the relay or its tool, and callers pass over it
    // without a message, also when the poll ended between the signal and
    // the stop reaching the channel. Any thread, without the mutex.
    bool isStopping() const;

    // What a request now would meet.
    enum class Readiness {
        Waiting,    // closed, and may not restart yet (or stopping): it fails at once
        Startable,  // closed; it starts the relay
        Young,      // open; should it close, a restart must wait out the gap
        Settled,    // open; should it close, the next request may restart it
    };
    // Takes the mutex, so it waits for an exchange under way.
    Readiness readiness();

    // Starts the relay; true when both pipes are connected. Caller holds the
    // mutex (or is the constructor).
    bool connectADMCmd();
    // Closes the channel: the pipes once, the relay left to end at end of its
    // input. Caller holds the mutex.
    void closeADMCmd();
    // closeADMCmd under the mutex.
    void disconnectADMCmd();

    bool proxyExists() const { return !proxyExec.empty(); }
    // Both pipes open. Caller holds the mutex.
    bool isOperational() const { return channel.isOpen(); }
    // Monotonic seconds of the last start that got as far as its pipes.
    time_t lastConnectTime() const { return channel.lastAttemptTime(); }

    // Longest wait for the request to be taken and the whole reply to arrive;
    // past it the relay is taken as hung and the channel closes.
    void setReplyTimeoutMs(int ms) { replyTimeout.store(ms, std::memory_order_relaxed); }
    int replyTimeoutMs() const { return replyTimeout.load(std::memory_order_relaxed); }

    // A restart needs this many whole seconds since the last start.
    static constexpr time_t RECONNECT_TIMEOUT = 3;
    // Longest piece of a reply line, newline included.
    static constexpr std::size_t LINE_PIECE = 2047;
    // Largest whole reply accepted, counted as its bytes plus PIECE_COST for
    // every piece kept (a string and its slot in the vector), so that a flood
    // of empty lines is bounded in memory as well as in bytes.
    static constexpr std::size_t MAX_REPLY = 16 * 1024 * 1024;
    static constexpr std::size_t PIECE_COST = 64;
    // Default reply time-out: listing tools on a large filesystem are slow.
    static constexpr int DEFAULT_REPLY_TIMEOUT_MS = 120000;
    // How long a relay told to end has before SIGKILL: it first ends its
    // tool's process group, which takes up to about half a second.
    static constexpr int RELAY_END_MS = 2000;
    // Exit status of a relay child that could not redirect its streams or exec.
    static constexpr int CHILD_FAIL_STATUS = 69;

  private:
    // Gives up on a relay that may still be writing. Caller holds the mutex.
    void abandonRelay() { channel.abandon(RELAY_END_MS); }

    // Set by the constructor.
    const Names& names;
    pthread_mutex_t& mutex;
    LoggerStub log;
    std::string proxyExec;  // emptied when unusable
    std::atomic<int> replyTimeout{DEFAULT_REPLY_TIMEOUT_MS};

    // The relay, its pipes and the reader over its output, guarded by mutex;
    // only its abandonForStop is called without it (see ChildChannel.h).
    ChildChannel channel;
};

// The process-wide singleton of one relay channel; Stub derives from it and
// names its relay in a static `NAMES`. The instance is created at the first
// getInstance of the process and destroyed when the count of holders returns
// to 0; both happen once per process, so after the last closeInstance, and
// after a creation that found no usable relay, getInstance returns null.
//
// Threads: any. The class-wide mutex is static and never destroyed; it guards
// the instance pointer and the count, and the instance's exchanges.
template <class Stub>
class RelayCmdSingleton : public RelayCmdChannel {
  public:
    // The channel, or null. Every call counts one holder, to be given back
    // with closeInstance.
    static Stub* getInstance();
    // Gives back one holder; the last one destroys the channel (in the same
    // hold of the lock). Never takes the count below 0.
    static void closeInstance();

  protected:
    RelayCmdSingleton() : RelayCmdChannel(Stub::NAMES, mutex) {}

  private:
    static void createSingleton();
    static void destroySingleton();

    static Stub* instance;       // guarded by mutex
    static uint32_t refCounter;  // guarded by mutex
    static pthread_mutex_t mutex;
    static pthread_once_t createCtrl;
    static pthread_once_t destroyCtrl;
};
