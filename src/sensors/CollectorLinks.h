// The controller's connections to its collectors: one TCP socket per
// configured collector, what each connection is owed (which virtual sensors'
// templates it has, through the blocks' template-sent maps), connecting and
// the pending-connect check, handing a sample's packets to every collector,
// dropping a failed connection and starting it again, and the interrupt that
// stops the sends at stop.
//
// No collector waits on another: packets are sent without blocking, and what
// a socket cannot take at once waits in that collector's own backlog
// (CollectorBacklog), sent in order before anything newer as the socket
// drains. What the socket does not take of a packet goes into the backlog
// whole or, when the backlog would pass its bound, the connection is
// dropped, so a collector never sees part of a message followed by another
// one. The bound is one whole sample of every sensor (as large as the
// sensors made them last) plus BACKLOG_SPARE_BYTES: a collector that keeps
// up is never dropped for the size of a sample, whatever size its sensor
// accepted. The backlogs share the bytes of each message, so the memory
// they take is that bound once, not once per collector.
// A backlog that has not moved for the socket time-out drops the connection
// too. A collector is connected again at most once per
// RECONNECT_SPACING_MS.
//
// Logging: one line for the first failure of an outage (whatever failed:
// the connect, the socket, the peer closing, a full or stuck backlog), none
// for the further failed attempts of that outage (but for the name no
// longer resolving, logged once per outage too), and one line when the
// collector is up. How it shows that depends on what the daemon knows:
// - at start, and after an outage whose latest failure says the collector
//   went away (refused, closed, reset, unreachable, the name not
//   resolving), it is up as soon as its connection has taken data and is
//   CONNECTION_PROVEN_MS old, still open; a collector that closes each
//   connection at once is seen closed by then, so it costs one line per
//   outage;
// - after an outage whose latest failure says it did not read (no data
//   taken for the socket time-out, a full backlog, a TCP time-out on a
//   connection that was up), it is back when a connection at least
//   CONNECTION_PROVEN_MS old has taken data, the collector has read all of
//   it (the backlog is empty and the socket's send queue acknowledged) and
//   has read more than its buffers could hold: the right edge of its
//   receive window went past PEER_HOLD_FACTOR times the widest window it
//   offered. A collector that still never reads never gets there, however
//   little it is sent: its outage stays one line. One that reads again but
//   is sent little is logged back late.
// Each outage after a line that logged the collector up is logged again.
// Every line names host and port, so that collectors on one host are told
// apart.
//
// Owned by the controller (SensorCtrl::links); owns its sockets and borrows
// the controller's block list and logger (the controller deletes its logger
// before the links, whose destructor only deletes the sockets).
//
// Threads, by member:
// - main thread before the controller thread starts: the sockets are made
//   and first connected (open, awaitConnects);
// - controller thread afterwards: everything else (publishFds, beginSample,
//   deliver, flushBacklogs, backlogPending, templatesNeeded,
//   forgetTemplates) and the per-collector state;
// - main thread at stop: interruptSends, through fdLock and stopSending;
// - main thread after the controller thread ended: everything.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "CollectorBacklog.h"
#include "Logger.h"
#include "SensorCtrlBlock.h"
#include "Socket.h"

namespace Cfg {
class ParamValStore;
}  // namespace Cfg

class CollectorLinks {
  public:
    CollectorLinks(const std::vector<SensorCtrlBlock*>& blocks, const Logger& log);
    ~CollectorLinks();
    CollectorLinks(const CollectorLinks&) = delete;
    CollectorLinks& operator=(const CollectorLinks&) = delete;

    // Main thread, at construction of the controller: one socket per
    // distinct `collectors` entry of params (none for null), in order, with
    // the socket time-out (seconds) and the local interface of
    // `ipfixinterface`; then every collector starts connecting. Host and
    // port are used without surrounding blanks; an entry with the host (in
    // any letter case) and port of an earlier one gets no socket, with a
    // Warning naming it.
    void open(const Cfg::ParamValStore* params, int socketTimeout);
    // Publishes the descriptors for interruptSends (the sensor list
    // configuration may have connected or closed sockets itself).
    void publishFds();
    // Waits until every collector of `which` has finished its pending connect
    // (up, or failed), at most boundMs in all, or, with a `stop` given, until
    // it returns true; one poll covers all of them. Their state is read
    // afterwards with checkConnection.
    void awaitConnects(const std::vector<size_t>& which, int64_t boundMs, bool (*stop)());

    // Forgets in every block which templates went out over `socket`.
    void forgetTemplates(const Socket* socket);
    // Whether some collector still needs virtual sensor v's templates (not
    // connected yet, or not sent them on this connection).
    bool templatesNeeded(SensorCtrlBlock* block, uint32_t v);
    // Starts a sample of `block`: no collector failed or was found usable in
    // it yet. The sample before it now counts, by its size, in the bound of
    // the backlogs.
    void beginSample(const SensorCtrlBlock* block);
    // Hands one data packet, preceded where a connection needs it by the
    // virtual sensor's template packet, to every collector, never waiting
    // for one. True when every collector took the data packet (sent, or
    // kept in its backlog). `loadTest` (Blaster mode) uses a new connection
    // in the same call.
    bool deliver(SensorCtrlBlock* block, const char* dataPacket, uint32_t dataLength,
                 const char* templatePacket, uint32_t templateLength, uint32_t v, bool loadTest);

    // Sends what the collectors' backlogs hold as far as their sockets take
    // it now (the controller calls it whenever it wakes).
    void flushBacklogs();
    // Whether some connected collector's backlog still holds bytes.
    bool backlogPending() const;
    // Milliseconds until some collector's connection is old enough to be
    // logged up, when one took data and waits for that; -1 when none does.
    // The controller calls flushBacklogs then, so that the line does not
    // wait for the next sample, which may be a long period away.
    int64_t untilUpCheckMs() const;

    // Main thread, at stop: shuts the collectors' connections down and stops
    // all further sends.
    void interruptSends();

    // Bytes one collector's backlog may hold beyond one sample of every
    // sensor.
    static constexpr size_t BACKLOG_SPARE_BYTES = 4u << 20;
    // Shortest time between two connection starts of one collector.
    static constexpr int64_t RECONNECT_SPACING_MS = 1000;
    // Age a connection must reach, with all it took read, before its
    // collector counts as back from an outage in which it did not read, or
    // before a connection not yet seen open counts as up.
    static constexpr int64_t CONNECTION_PROVEN_MS = 500;
    // Widest windows the peer offered on a connection that the right edge of
    // its window must pass before the collector counts as having read.
    static constexpr uint64_t PEER_HOLD_FACTOR = 3;

    std::vector<Socket*> sockets;  // owned, configuration order

  private:
    // What the latest failure of an outage says about the collector.
    enum class Cause { WentAway, NotReading };

    // Per collector, parallel to sockets (controller thread).
    struct CollectorState {
        int64_t lastStartMs = 0;              // last connection start, monotonic clock
        bool inOutage = false;                // a failure was logged; not back since
        Cause outageCause = Cause::WentAway;  // of the outage's latest failure
        bool announced = false;               // this connection was logged as up
        bool tookData = false;                // this connection took bytes
        uint32_t peakWindow = 0;              // the widest receive window the peer offered on it
        bool unresolvedLogged = false;        // the name's failure was logged in this outage
        bool failedThisSample = false;        // skipped for the rest of the current sample
        bool usableThisSample = false;        // took a packet whole in the current sample
        // Bytes the socket has not taken yet; never more than
        // backlogBound().
        CollectorBacklog backlog;
        int64_t backlogMovedMs = 0;  // when the backlog last shrank or filled from empty
    };

    // First hand-over of a sample: starts the connections that collectors
    // without one need (a load test waits for them, all together, a short
    // bounded time).
    void startConnections(SensorCtrlBlock* block, uint32_t v, time_t now, int64_t nowMs,
                          bool loadTest);
    // A collector that is neither connected nor connecting: true when a
    // connection was made that can be used in this same call.
    bool startConnection(size_t i, SensorCtrlBlock* block, uint32_t v, time_t now, int64_t nowMs,
                         bool loadTest);
    // Logs the first connection failure of an outage of collector i; `what`
    // null for a failed connection start, else a socket error (`wasUp`: on
    // a connection that was up, not connecting).
    void logConnectionFailure(size_t i, const char* what, bool wasUp = false);
    // Logs a failure of collector i (printf-style) unless its outage was
    // logged already; starts the outage. The cause is kept either way.
    void logFailure(size_t i, Cause cause, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // What the socket error of collector i says; `wasUp` when its
    // connection was up, not connecting.
    Cause errorCause(size_t i, bool wasUp) const;
    // Forgets what collector i received, its backlog included, and closes
    // its connection.
    void dropConnection(size_t i);
    // Sends collector i's backlog as far as its socket takes it. False, with
    // the connection dropped and logged, on a socket error or when the
    // backlog has not moved for the socket time-out.
    bool flushBacklog(size_t i, int64_t nowMs);
    // Sends one whole message to collector i, keeping in its backlog what the
    // socket does not take. False, with the connection dropped and logged,
    // on a socket error or when the backlog would pass backlogBound().
    bool sendWhole(size_t i, CollectorBacklog::Message& message, int64_t nowMs);
    // Bytes a backlog may hold now: BACKLOG_SPARE_BYTES, the last sample of
    // every sensor, and the current sample as far as it is larger than its
    // sensor's last one.
    size_t backlogBound() const;
    // Counts the sample handed over so far in sampleBytes.
    void commitSample();
    // Notes the window collector i offers and logs it up (once per
    // connection) when it shows it is (see the logging rules above).
    void noteUp(size_t i, int64_t nowMs);
    // Whether collector i's connection took data and counts as up once it
    // is CONNECTION_PROVEN_MS old and still open, with no proof of reads.
    bool upWithoutProof(size_t i) const;
    void announce(size_t i);
    // Every change of a collector's descriptor by the controller thread goes
    // through these, so that interruptSends never touches a closed one.
    void closeCollector(size_t i);
    void noteCollectorFd(size_t i);
    static bool peerClosed(const Socket* s);
    // No end of stream or error waits on the connection.
    static bool stillOpen(const Socket* s);

    const std::vector<SensorCtrlBlock*>& blocks;
    const Logger& logger;
    std::vector<CollectorState> state;
    bool connectsStarted = false;  // startConnections ran in the current sample
    // Bytes of the last whole sample of every block, their sum, and the
    // sample being handed over.
    std::unordered_map<const SensorCtrlBlock*, size_t> sampleBytes;
    size_t sampleBytesTotal = 0;
    const SensorCtrlBlock* currentBlock = nullptr;
    size_t currentBytes = 0;
    int stallSeconds = 0;  // socket time-out: a backlog this still is dropped; 0 never
    // The collectors' descriptors as the main thread may see them; guarded
    // by fdLock. A descriptor is closed only under that lock.
    std::mutex fdLock;
    std::vector<int> collectorFds;
    std::atomic<bool> stopSending{false};
};
