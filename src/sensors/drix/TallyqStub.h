// The channel to the filesystem's statistics facility: one process-wide
// instance, counted by reference, shared by every statistics sensor. It runs
// TallyqSockRelay (configuration key `tallyq`) as a child over two pipes,
// writes one request line per query and reads one reply with the
// TallyqResponse parser, skipping event replies and replies that answer
// another request. Every start of the relay
// must be greeted by an event; bytes that arrive while no request is
// outstanding belong to no request and are dropped before the next one.
//
// Ownership: the class owns the instance, the relay process and its pipes.
// The first getInstance of the process creates the instance and starts the
// relay; the releaseInstance that brings the count back to 0 closes the
// channel (SIGTERM to the relay) and deletes the instance. Creation and
// destruction each happen once per process: after the last release, and after
// a creation that found no usable relay, getInstance returns null for good.
// The caller of executeQuery owns the reply.
//
// Threads: the sensors' threads call every operation. One class-wide mutex,
// never destroyed, guards the instance pointer and the count and is held over
// each whole query, so requests and replies never interleave on the pipes.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

#include "ChildChannel.h"
#include "LoggerStub.h"
#include "TallyqResponse.h"

class TallyqStub {
  public:
    // The shared channel, or null. Every call counts one holder; sensors that
    // got a channel give it back with releaseInstance.
    static TallyqStub* getInstance();
    static void releaseInstance();

    // Sends request and returns the reply (type resp, error or unknown), or
    // null when the channel is unusable. A closed channel is restarted only
    // when the current second is more than 2 past the last start. Events and
    // replies that answer another request (a late copy of an earlier answer)
    // are passed over with a Warning: those whose opening line names another
    // request, and, of a family that opens alike ("tallyq wqm", "wqm fs",
    // "wqm fset"; "rpcs ns", "rpcs 1s"), those whose records hold a key that
    // only another member's replies hold (see answersAnother). The first
    // reply that may be the answer is the answer, at once: a copy that
    // nothing tells apart is taken for it. A reply refused for its size is
    // logged here, once until that request is answered again, and comes back
    // as an empty fatal reply (see TallyqResponse::getOversize).
    TallyqResponse* executeQuery(const std::string& request);

    // Parses one recorded reply from a file, without the relay. A file that
    // cannot be opened gives an eof reply after the idle wait.
    TallyqResponse* createTallyqResponseFromFile(const std::string& path);

    // Event replies accepted before the answer; more count as end of input.
    static constexpr int MAX_EVENTS = 1000;
    // Longest time for one query, events included; past it the reply is
    // fatal and the channel closes.
    static constexpr int QUERY_DEADLINE_MS = TallyqResponse::REPLY_DEADLINE_MS;
    // Exit status of a relay child that could not redirect its streams or exec.
    static constexpr int CHILD_FAIL_STATUS = 69;
    // Seconds that must pass after a start before the next one.
    static constexpr int RESTART_GAP_S = 2;

    // What the reply rule needs of a request, worked out once per exchange.
    struct Request {
        std::string words;  // what its reply's opening line names
        unsigned kind = 0;  // its member bit among requests whose replies open alike; 0 for none
        std::string name;   // how warnings name it: the family member, else words
    };
    static Request classify(const std::string& request);

    // The request that reply, read for request, answers when that is
    // another one: its opening names another, or, where several requests'
    // replies open alike, one of its records holds a key that request's
    // replies never hold. Empty when it may be this request's answer. Pure.
    static std::string answersAnother(const TallyqResponse& reply, const Request& request);

    ~TallyqStub();
    TallyqStub(const TallyqStub&) = delete;
    TallyqStub& operator=(const TallyqStub&) = delete;

  private:
    explicit TallyqStub(const std::string& path);

    static void createSingleton();
    static void destroySingleton();

    // Starts the relay; true when connected. Caller holds mutex or is the
    // constructor, before the instance is published.
    bool connectTallyq();
    // Reads a new relay's greeting, which must be an event; otherwise the
    // relay is closed again. Same callers.
    bool readGreeting();
    // Logs a reply to request refused for passing the bound why, once until
    // the request is answered. Caller holds mutex.
    void noteOversize(TallyqResponse::Oversize why, const std::string& request);
    // Logs the relay's own text that made reply fatal, once until it changes.
    void noteStrayLine(const TallyqResponse& reply);
    // Closes the pipes and sends the relay SIGTERM. Same callers.
    void disconnectTallyq();
    bool isConnected() const { return channel.process().outputFd() >= 0; }

    // Set by the constructor; otherwise touched only with mutex held.
    LoggerStub log;
    std::string proxyFilename;
    ChildChannel channel;             // the relay and its pipes; every start attempt counts
    std::string carry;                // bytes read after the last reply
    std::string lastStrayLine;        // last stray line logged
    std::set<std::string> oversized;  // requests whose too large reply is logged

    // Class-wide state. tallyqStub and refCounter are guarded by mutex.
    static TallyqStub* tallyqStub;
    static int32_t refCounter;
    static pthread_mutex_t mutex;
    static pthread_once_t createCtrl;
    static pthread_once_t destroyCtrl;
};
