// The channel to one proxy program: a child process started over two pipes,
// to which a caller writes one request line and from which it reads the reply
// up to and including the first line that begins "_response_ end".
//
// All generic sensors whose proxy id (trimmed executable, "||", trimmed
// argument string) is equal share one stub and so one child. The class-wide
// registry owns the stubs and counts their holders: getInstance and
// closeInstance must be balanced. Callers are the sensor threads; the channel
// has no thread of its own.
//
// Locks: the registry lock (`registryMutex()`) is held for the whole of
// getInstance and closeInstance, including the start of a proxy and the
// closing of a stub; a stub's `instanceMutex` is held for the whole of a query
// and while its channel closes. Order: registry lock, then instanceMutex.
//
// A proxy is expected to end at end of file on its standard input; closing
// the channel closes that input, and the proxy's process group (the proxy
// and whatever it started) is then ended by ChildProcess (SIGTERM, then
// SIGKILL), also at a time-out. At daemon stop a proxy still answering is
// ended with its group (ChildChannel::abandonForStop). The daemon ignores
// SIGCHLD (no zombies) and SIGPIPE (a write to an ended proxy fails).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ChildChannel.h"
#include "LoggerStub.h"

class GenericStub {
  public:
    // The stub shared by every holder of the proxy id, created and started on
    // first use; null when the executable is not usable.
    static GenericStub* getInstance(std::string exec, std::string args);
    // Releases one holder; the last one closes the channel and deletes the stub.
    static void closeInstance(std::string exec, std::string args);

    // Sends request as one line and returns the reply, including its end
    // line. Empty while the channel is down and may not restart yet, or when
    // the request cannot be written. Text read before the proxy ended, or
    // before the time-out, comes back without an end line. Empty, without a
    // message, when the daemon's stop refused the request or cut its reply
    // off (see isStopping).
    const std::string executeQuery(const std::string& request);
    // Whether the daemon's stop has begun: its signal came, or it abandoned
    // the channel. From then on an empty reply is the stop's doing, not a
    // failure of the proxy, and callers pass over it without a message. Any
    // thread, without a lock.
    bool isStopping() const;

    // The argument vector the proxy is started with: exec, then the
    // non-empty pieces of args between ";" separators, untrimmed.
    static std::vector<std::string> buildArgv(const std::string& exec, const std::string& args);
    static std::string getProxyId(std::string exec, std::string args);

    // How long a query waits for the whole reply (and for room to write the
    // request) before it closes the channel, in milliseconds. For tests.
    static void setReplyTimeoutMs(int ms);

    // A reply line longer than this is dropped; a reply longer than
    // MAX_REPLY_BYTES closes the channel.
    static constexpr std::size_t MAX_LINE_BYTES = 1024 * 1024;
    static constexpr std::size_t MAX_REPLY_BYTES = 64 * 1024 * 1024;

  private:
    struct proxyInfo {
        std::unique_ptr<GenericStub> proxy;
        uint32_t refCtr;
    };

    GenericStub(std::string logName, std::string exec, std::string args);
    GenericStub(const GenericStub&) = delete;
    GenericStub& operator=(const GenericStub&) = delete;

    friend struct std::default_delete<GenericStub>;
    ~GenericStub() = default;

    // Starts the proxy; true when both pipes are open. Needs instanceMutex
    // held or the stub owned alone.
    bool connectProxy();
    // Needs instanceMutex held or the stub owned alone.
    void closeProxy();
    void disconnectProxy();

    bool proxyExists() const { return !proxyExec.empty(); }
    bool isOperational() const { return channel.isOpen(); }

    // Never destroyed, so that a sensor thread still binding or releasing at
    // process exit cannot meet a destroyed lock or map.
    static std::mutex& registryMutex();
    static std::map<std::string, proxyInfo>& proxyMap();

    LoggerStub log;
    // proxyExec is emptied by the constructor when the executable is not
    // usable; otherwise both are set once.
    std::string proxyExec;
    std::string proxyArgs;

    // Guarded by instanceMutex.
    std::mutex instanceMutex;
    ChildChannel channel;  // the proxy, its pipes and the reader over its output
    bool replyEof;         // the proxy has closed its output
};
