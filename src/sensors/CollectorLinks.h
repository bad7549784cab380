// The controller's connections to its collectors: one TCP socket per
// configured collector, what each connection is owed (which virtual sensors'
// templates it has, through the blocks' template-sent maps), connecting and
// the pending-connect check, handing a sample's packets to every collector,
// dropping a failed connection and starting it again, and the interrupt that
// breaks a blocked send at stop.
//
// Owned by the controller (SensorCtrl::links); owns its sockets and borrows
// the controller's block list and logger (the controller deletes its logger
// before the links, whose destructor only deletes the sockets).
//
// Threads, by member:
// - main thread before the controller thread starts: the sockets are made
//   and first connected (open, awaitConnects);
// - controller thread afterwards: everything else (publishFds, beginSample,
//   deliver, templatesNeeded, forgetTemplates), the per-collector state and
//   reportNextConnectionError;
// - main thread at stop: interruptSends, through fdLock and stopSending;
// - main thread after the controller thread ended: everything.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <vector>

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
    void open(const Cfg::ParamValStore* params, int socketTimeout, time_t now);
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
    // Starts a sample: no collector failed or was found usable in it yet.
    void beginSample();
    // Hands one data packet, preceded where a connection needs it by the
    // virtual sensor's template packet, to every collector. True when every
    // collector took the data packet. `loadTest` (Blaster mode) uses a new
    // connection in the same call.
    bool deliver(SensorCtrlBlock* block, const char* dataPacket, uint32_t dataLength,
                 const char* templatePacket, uint32_t templateLength, uint32_t v, bool loadTest);

    // Main thread, at stop: breaks a send blocked on a collector that does
    // not read, and stops all further sends.
    void interruptSends();

    std::vector<Socket*> sockets;  // owned, configuration order
    // When true, the next failure to connect is logged; false after that
    // until a call in which every collector took its data.
    bool reportNextConnectionError = true;

  private:
    // Per collector, parallel to sockets (controller thread).
    struct CollectorState {
        time_t lastStart = 0;           // last connection start, seconds
        bool inOutage = false;          // a failure was logged; no data went out since
        bool failedThisSample = false;  // skipped for the rest of the current sample
        bool usableThisSample = false;  // took a packet whole in the current sample
    };

    // First hand-over of a sample: starts the connections that collectors
    // without one need (a load test waits for them, all together, a short
    // bounded time).
    void startConnections(SensorCtrlBlock* block, uint32_t v, time_t now, bool loadTest);
    // A collector that is neither connected nor connecting: true when a
    // connection was made that can be used in this same call.
    bool startConnection(size_t i, SensorCtrlBlock* block, uint32_t v, time_t now, bool loadTest);
    // Logs the first connection failure of an outage of collector i; `what`
    // null for a failed connection start, else a socket error.
    void logConnectionFailure(size_t i, const char* what);
    // Forgets what collector i received and closes its connection.
    void dropConnection(size_t i);
    // Every change of a collector's descriptor by the controller thread goes
    // through these, so that interruptSends never touches a closed one.
    void closeCollector(size_t i);
    void noteCollectorFd(size_t i);
    static bool peerClosed(const Socket* s);

    const std::vector<SensorCtrlBlock*>& blocks;
    const Logger& logger;
    std::vector<CollectorState> state;
    bool connectsStarted = false;  // startConnections ran in the current sample
    // The collectors' descriptors as the main thread may see them; guarded
    // by fdLock. A descriptor is closed only under that lock.
    std::mutex fdLock;
    std::vector<int> collectorFds;
    std::atomic<bool> stopSending{false};
};
