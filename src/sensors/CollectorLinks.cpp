#include "CollectorLinks.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>

#include "Configuration.h"
#include "ParamNames.h"
#include "SensorDefaultConfig.h"

namespace {

// Load tests wait this long, for all new connections of a call together,
// before they go on without the ones still pending.
constexpr int BLASTER_CONNECT_WAIT_MS = 50;
// Longer waits are cut into slices of this length to look for a stop request.
constexpr int STOP_CHECK_MS = 100;

// Host names and the hexadecimal digits of IPv6 addresses ignore case.
std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The port a collector entry reaches, for telling entries apart: the
// resolver reads a port in digits as a number, so "04739" is 4739. A service
// name stays as written, and an empty port (no service) stays empty.
std::string portKey(const std::string& port) {
    if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return port;
    const size_t first = port.find_first_not_of('0');
    return first == std::string::npos ? "0" : port.substr(first);
}

// What the peer's side of a connection shows: the bytes it acknowledged and
// the receive window it advertises last (0 for both, and `known` false, when
// the kernel does not say; the window is there from Linux 5.4 on).
struct PeerView {
    uint64_t acked = 0;
    uint32_t window = 0;
    bool known = false;
};

PeerView peerView(int fd) {
    PeerView peer;
    tcp_info info = {};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd)
        return peer;
    peer.acked = info.tcpi_bytes_acked;
    peer.window = info.tcpi_snd_wnd;
    peer.known = true;
    return peer;
}

int64_t monotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

CollectorLinks::CollectorLinks(const std::vector<SensorCtrlBlock*>& blocks, const Logger& log)
    : blocks(blocks), logger(log) {}

CollectorLinks::~CollectorLinks() {
    for (Socket* s : sockets) delete s;
}

void CollectorLinks::open(const Cfg::ParamValStore* params, int socketTimeout) {
    std::string localIface;
    const Cfg::ParamVec* collectors = nullptr;
    if (params != nullptr) {
        params->getString(Cfg::IPFIXIF, localIface);
        params->getParamStoreVec(Cfg::COLLECTORS, collectors);
    }
    if (collectors != nullptr) {
        // A hand-written file may list one collector twice; a second
        // connection to it would deliver every record twice.
        std::vector<std::pair<std::string, std::string>> seen;
        size_t number = 0;
        for (const Cfg::ParamValStore* entry : *collectors) {
            ++number;
            if (entry == nullptr) continue;
            std::string rawHost, rawPort;
            entry->getString(Cfg::COLHOST, rawHost);
            entry->getString(Cfg::COLPORT, rawPort);
            const Cfg::CollectorAddress address = Cfg::checkCollectorAddress(rawHost, rawPort);
            const std::string& host = address.host;
            const std::string& port = address.port;
            std::pair<std::string, std::string> key(lowerCase(host), portKey(port));
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
                logger.logWarning(
                    "Collector entry %zu (host %s, port %s) repeats an earlier entry; it gets "
                    "no connection of its own",
                    number, host.c_str(), port.c_str());
                continue;
            }
            seen.push_back(std::move(key));
            Socket* s = new Socket(host, port);
            s->setTimeoutValue(socketTimeout);
            if (!localIface.empty()) s->setLocalInterface(localIface);
            sockets.push_back(s);
        }
    }
    stallSeconds = socketTimeout;
    state.resize(sockets.size());
    collectorFds.resize(sockets.size(), -1);
    for (size_t i = 0; i < sockets.size(); ++i) {
        Socket* s = sockets[i];
        if (s->connecting || s->connected) continue;
        state[i].lastStartMs = monotonicMs();
        if (!s->connectAsync()) s->closeSocket(false);
        collectorFds[i] = s->sockFD;
    }
}

void CollectorLinks::publishFds() {
    std::lock_guard<std::mutex> lock(fdLock);
    collectorFds.resize(sockets.size(), -1);
    for (size_t i = 0; i < sockets.size(); ++i) collectorFds[i] = sockets[i]->sockFD;
}

void CollectorLinks::forgetTemplates(const Socket* socket) {
    for (SensorCtrlBlock* block : blocks) block->removeConnectionStatus(socket);
}

bool CollectorLinks::templatesNeeded(SensorCtrlBlock* block, uint32_t v) {
    for (Socket* s : sockets) {
        if (!s->connected || !block->isTemplateSent(s, v)) return true;
    }
    return false;
}

void CollectorLinks::beginSample(const SensorCtrlBlock* block) {
    if (state.size() != sockets.size()) {
        state.resize(sockets.size());
        publishFds();
    }
    commitSample();
    currentBlock = block;
    currentBytes = 0;
    for (CollectorState& c : state) {
        c.failedThisSample = false;
        c.usableThisSample = false;
    }
    connectsStarted = false;
}

void CollectorLinks::startConnections(SensorCtrlBlock* block, uint32_t v, time_t now, int64_t nowMs,
                                      bool loadTest) {
    std::vector<size_t> fresh;
    for (size_t i = 0; i < sockets.size(); ++i) {
        const Socket* s = sockets[i];
        CollectorState& c = state[i];
        if (c.failedThisSample || c.usableThisSample || s->connecting || s->connected) continue;
        if (startConnection(i, block, v, now, nowMs, loadTest))
            fresh.push_back(i);
        else
            c.failedThisSample = true;
    }
    // Load tests use a fresh connection in the same call; the wait for it is
    // one bounded wait for all of them together.
    if (!fresh.empty()) awaitConnects(fresh, BLASTER_CONNECT_WAIT_MS, nullptr);
}

void CollectorLinks::awaitConnects(const std::vector<size_t>& which, int64_t boundMs,
                                   bool (*stop)()) {
    std::vector<pollfd> fds;
    for (size_t i : which)
        if (sockets[i]->connecting && sockets[i]->sockFD >= 0)
            fds.push_back(pollfd{sockets[i]->sockFD, POLLOUT, 0});
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!fds.empty() && !(stop != nullptr && stop())) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t waited =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        const int64_t left = boundMs - waited;
        if (left <= 0) break;
        // In slices, so that a stop request is seen soon.
        const int r =
            poll(fds.data(), fds.size(),
                 static_cast<int>(stop != nullptr ? std::min<int64_t>(left, STOP_CHECK_MS) : left));
        if (r < 0 && errno != EINTR) break;
        fds.erase(
            std::remove_if(fds.begin(), fds.end(), [](const pollfd& p) { return p.revents != 0; }),
            fds.end());
    }
}

void CollectorLinks::commitSample() {
    if (currentBlock == nullptr) return;
    // Blocks the sensor list configuration removed no longer count.
    if (sampleBytes.size() > blocks.size()) {
        std::unordered_map<const SensorCtrlBlock*, size_t> kept;
        sampleBytesTotal = 0;
        for (const SensorCtrlBlock* b : blocks) {
            const auto it = sampleBytes.find(b);
            if (it == sampleBytes.end()) continue;
            kept[b] = it->second;
            sampleBytesTotal += it->second;
        }
        sampleBytes.swap(kept);
    }
    size_t& last = sampleBytes[currentBlock];
    sampleBytesTotal = sampleBytesTotal - last + currentBytes;
    last = currentBytes;
    currentBlock = nullptr;
    currentBytes = 0;
}

size_t CollectorLinks::backlogBound() const {
    size_t last = 0;
    if (currentBlock != nullptr) {
        const auto it = sampleBytes.find(currentBlock);
        if (it != sampleBytes.end()) last = it->second;
    }
    return BACKLOG_SPARE_BYTES + sampleBytesTotal - last + std::max(last, currentBytes);
}

void CollectorLinks::logConnectionFailure(size_t i, const char* what, bool wasUp) {
    const Socket* s = sockets[i];
    if (what == nullptr) {
        // The address tried, the first one the name gave when no connect got
        // under way, or why the name gave none.
        std::string address = s->remoteAddr.as_string;
        if (address.empty() && s->remoteAddressList != nullptr)
            Socket::addressToString(s->remoteAddressList->ai_addr, address);
        if (address.empty())
            address = s->resolveError != 0 ? gai_strerror(s->resolveError) : "no address";
        logFailure(i, Cause::WentAway,
                   "Failed to connect to collector at %s (%s) for service %s, will retry",
                   s->destHost.c_str(), address.c_str(), s->destService.c_str());
        return;
    }
    std::string text;
    const int err = s->getLastError(text);
    logFailure(i, errorCause(i, wasUp), "Error on socket to %s:%s: %s (%d)", s->destHost.c_str(),
               s->destService.c_str(), text.c_str(), err);
}

CollectorLinks::Cause CollectorLinks::errorCause(size_t i, bool wasUp) const {
    // Unacknowledged data timed out on a connection that was up: the peer
    // stopped taking data. A connect that timed out found no collector.
    std::string text;
    return wasUp && sockets[i]->getLastError(text) == ETIMEDOUT ? Cause::NotReading
                                                                : Cause::WentAway;
}

void CollectorLinks::logFailure(size_t i, Cause cause, const char* format, ...) {
    CollectorState& c = state[i];
    // The latest failure tells how the collector must show that it is back.
    c.outageCause = cause;
    if (c.inOutage) return;
    c.inOutage = true;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logger.logError("%s", text);
}

void CollectorLinks::dropConnection(size_t i) {
    forgetTemplates(sockets[i]);
    closeCollector(i);
    CollectorState& c = state[i];
    c.backlog.clear();
    c.announced = false;
    c.tookData = false;
    c.peakWindow = 0;
}

bool CollectorLinks::flushBacklog(size_t i, int64_t nowMs) {
    Socket* s = sockets[i];
    CollectorState& c = state[i];
    while (!c.backlog.empty()) {
        const ssize_t n = s->sendAvailable(c.backlog.front(), c.backlog.frontSize());
        if (n < 0) {
            logConnectionFailure(i, "socket", true);
            dropConnection(i);
            return false;
        }
        if (n == 0) break;
        c.backlog.consume(static_cast<size_t>(n));
        c.backlogMovedMs = nowMs;
        c.tookData = true;
    }
    if (c.backlog.empty()) return true;
    if (stallSeconds > 0 && nowMs - c.backlogMovedMs >= static_cast<int64_t>(stallSeconds) * 1000) {
        logFailure(i, Cause::NotReading,
                   "Collector %s:%s took no data for %d seconds; dropping the connection",
                   s->destHost.c_str(), s->destService.c_str(), stallSeconds);
        dropConnection(i);
        return false;
    }
    return true;
}

bool CollectorLinks::sendWhole(size_t i, CollectorBacklog::Message& message, int64_t nowMs) {
    Socket* s = sockets[i];
    CollectorState& c = state[i];
    const size_t length = message.size();
    size_t taken = 0;
    if (c.backlog.empty()) {
        const ssize_t n = s->sendAvailable(message.data(), length);
        if (n < 0) {
            logFailure(i, errorCause(i, true), "Sending to %s:%s failed. Reconnecting!",
                       s->destHost.c_str(), s->destService.c_str());
            dropConnection(i);
            return false;
        }
        taken = static_cast<size_t>(n);
        c.tookData = c.tookData || taken > 0;
        if (taken == length) return true;
        c.backlogMovedMs = nowMs;
    }
    const size_t bound = backlogBound();
    if (c.backlog.bytes() + (length - taken) > bound) {
        logFailure(i, Cause::NotReading,
                   "Collector %s:%s does not keep up: more than %zu bytes wait for it; dropping "
                   "the connection",
                   s->destHost.c_str(), s->destService.c_str(), bound);
        dropConnection(i);
        return false;
    }
    c.backlog.append(message, taken);
    return true;
}

void CollectorLinks::noteUp(size_t i, int64_t nowMs) {
    const Socket* s = sockets[i];
    CollectorState& c = state[i];
    if (c.announced || s->sockFD < 0) return;
    const PeerView peer = peerView(s->sockFD);
    c.peakWindow = std::max(c.peakWindow, peer.window);
    if (!c.tookData || nowMs - c.lastStartMs < CONNECTION_PROVEN_MS) return;
    // At start, and back from an outage in which the collector went away,
    // a connection that took data is up: nothing says this collector does
    // not read. It must still be open, or a collector that closes at once
    // would be logged up on every connection (the controller looks again
    // as soon as the connection is old enough, see untilUpCheckMs).
    if (upWithoutProof(i)) {
        if (stillOpen(s)) announce(i);
        return;
    }
    // Dropped for not reading: back once it has read what it was sent.
    if (!c.backlog.empty()) return;
    // What the kernel's buffers took counts only once it is acknowledged (a
    // collector that never reads leaves the rest queued here).
    int unacknowledged = 0;
    if (ioctl(s->sockFD, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged != 0) return;
    // Acknowledged is not read: a collector that never reads acknowledges
    // what its buffer holds, and a new connection's templates and small
    // samples fit there. A buffer never offers room beyond what it holds,
    // so without reads the right edge of the window (acknowledged bytes
    // plus the window) stays within it: about twice the window it offers
    // empty, and one that fills may never show its full window;
    // PEER_HOLD_FACTOR covers both.
    if (peer.known && peer.acked + peer.window <= PEER_HOLD_FACTOR * uint64_t{c.peakWindow}) return;
    announce(i);
}

void CollectorLinks::announce(size_t i) {
    const Socket* s = sockets[i];
    CollectorState& c = state[i];
    c.announced = true;
    c.inOutage = false;
    c.unresolvedLogged = false;
    logger.logInfo("Connection to %s:%s (%s) successfully established.", s->destHost.c_str(),
                   s->destService.c_str(), s->remoteAddr.as_string.c_str());
}

void CollectorLinks::flushBacklogs() {
    if (stopSending) return;
    const int64_t nowMs = monotonicMs();
    for (size_t i = 0; i < sockets.size() && i < state.size(); ++i) {
        const CollectorState& c = state[i];
        if (sockets[i]->sockFD < 0) continue;
        if (!c.backlog.empty() ? flushBacklog(i, nowMs) && c.backlog.empty() : upWithoutProof(i))
            noteUp(i, nowMs);
    }
}

bool CollectorLinks::upWithoutProof(size_t i) const {
    const CollectorState& c = state[i];
    return !c.announced && c.tookData && (!c.inOutage || c.outageCause == Cause::WentAway);
}

int64_t CollectorLinks::untilUpCheckMs() const {
    if (stopSending) return -1;
    int64_t until = -1;
    const int64_t nowMs = monotonicMs();
    for (size_t i = 0; i < sockets.size() && i < state.size(); ++i) {
        if (sockets[i]->sockFD < 0 || !upWithoutProof(i)) continue;
        const int64_t left =
            std::max<int64_t>(0, state[i].lastStartMs + CONNECTION_PROVEN_MS - nowMs);
        if (until < 0 || left < until) until = left;
    }
    return until;
}

bool CollectorLinks::backlogPending() const {
    if (stopSending) return false;
    for (size_t i = 0; i < sockets.size() && i < state.size(); ++i)
        if (!state[i].backlog.empty() && sockets[i]->sockFD >= 0) return true;
    return false;
}

void CollectorLinks::closeCollector(size_t i) {
    std::lock_guard<std::mutex> lock(fdLock);
    sockets[i]->closeSocket(false);
    collectorFds[i] = -1;
}

void CollectorLinks::noteCollectorFd(size_t i) {
    std::lock_guard<std::mutex> lock(fdLock);
    collectorFds[i] = sockets[i]->sockFD;
}

void CollectorLinks::interruptSends() {
    stopSending = true;
    std::lock_guard<std::mutex> lock(fdLock);
    for (int fd : collectorFds)
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

bool CollectorLinks::startConnection(size_t i, SensorCtrlBlock* block, uint32_t v, time_t now,
                                     int64_t nowMs, bool loadTest) {
    Socket* s = sockets[i];
    CollectorState& c = state[i];
    // At most one connection start per spacing interval per collector,
    // however many packets are handed over in it: a collector that accepts
    // and closes at once must not draw a connection per packet.
    if (nowMs - c.lastStartMs < RECONNECT_SPACING_MS) return false;
    if (loadTest) {
        c.lastStartMs = nowMs;
        // Load tests use the connection at once, when it comes up within
        // the wait that startConnections allows all new ones together. A
        // blocking connect here would hold the controller for as long as an
        // unreachable collector takes to fail.
        if (!s->connectAsync()) {
            logConnectionFailure(i, nullptr);
            closeCollector(i);
            return false;
        }
        noteCollectorFd(i);
        block->setTemplateSent(s, v, false);
        return true;
    }
    if (s->connectFailures >= 10 && now - s->lastResolveTime >= 60) {
        const std::string oldAddress = s->remoteAddr.as_string;
        if (!s->refreshRemoteAddrsList()) {
            // Only ever within an outage, whose first failure is logged
            // already; that a name no longer resolves is news to the
            // operator all the same, once per outage.
            if (!c.unresolvedLogged) {
                c.unresolvedLogged = true;
                c.inOutage = true;
                c.outageCause = Cause::WentAway;
                logger.logError("Failed to resolve collector %s ip address, will retry",
                                s->destHost.c_str());
            }
            return false;
        }
        if (s->remoteAddr.as_string != oldAddress)
            logger.logWarning(
                "The ip address of collector %s has changed, old Address was: %s, new address "
                "is: %s",
                s->destHost.c_str(), oldAddress.c_str(), s->remoteAddr.as_string.c_str());
    }
    c.lastStartMs = nowMs;
    if (s->connectAsync()) {
        noteCollectorFd(i);
    } else {
        logConnectionFailure(i, nullptr);
        closeCollector(i);
    }
    block->setTemplateSent(s, v, false);
    // The data goes out on a later sample, once the connection is up.
    return false;
}

bool CollectorLinks::peerClosed(const Socket* s) {
    char byte;
    const ssize_t n = recv(s->sockFD, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0;
}

bool CollectorLinks::stillOpen(const Socket* s) {
    pollfd p = {s->sockFD, POLLIN, 0};
    if (poll(&p, 1, 0) == 0) return true;
    char byte;
    const ssize_t n = recv(s->sockFD, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

bool CollectorLinks::deliver(SensorCtrlBlock* block, const char* dataPacket, uint32_t dataLength,
                             const char* templatePacket, uint32_t templateLength, uint32_t v,
                             bool loadTest) {
    if (sockets.empty()) return true;
    const time_t now = time(nullptr);
    const int64_t nowMs = monotonicMs();
    if (!connectsStarted && !stopSending) {
        startConnections(block, v, now, nowMs, loadTest);
        connectsStarted = true;
    }
    currentBytes += dataLength;
    CollectorBacklog::Message data(dataPacket, dataLength);
    CollectorBacklog::Message templates(templatePacket, templateLength);
    bool ok = true;
    for (size_t i = 0; i < sockets.size(); ++i) {
        Socket* s = sockets[i];
        CollectorState& c = state[i];
        // A collector that failed earlier in this sample is skipped for the
        // rest of it; the others still get every packet. Nothing is sent
        // any more once a stop broke the sends.
        if (c.failedThisSample || stopSending) {
            ok = false;
            continue;
        }
        // A connection found sound for an earlier packet of this sample is
        // not examined again: each check costs system calls per packet.
        if (!c.usableThisSample) {
            // A pending connect is looked at without waiting: one that does
            // not complete (a host that never answers) would otherwise cost
            // every sample a wait, and the live collectors their samples.
            if (!s->checkConnection(0)) {
                if (!s->connecting && !s->connected) {
                    // The pending connect failed (refused, timed out).
                    logConnectionFailure(i, "socket", false);
                    dropConnection(i);
                }
                c.failedThisSample = true;
                ok = false;
                continue;
            }
            // One poll shows a healthy connection (nothing to read, no
            // error); only otherwise are the error and end of stream read.
            pollfd st = {s->sockFD, POLLIN, 0};
            const bool quiet = poll(&st, 1, 0) == 0;
            if (!quiet && s->hasError() != 0) {
                logConnectionFailure(i, "socket", true);
                dropConnection(i);
                c.failedThisSample = true;
                ok = false;
                continue;
            }
            // A collector never sends; a readable end of stream means it
            // closed the connection, and whatever is sent now would be lost.
            if (!quiet && peerClosed(s)) {
                logFailure(i, Cause::WentAway,
                           "Collector %s:%s closed the connection. Reconnecting!",
                           s->destHost.c_str(), s->destService.c_str());
                dropConnection(i);
                c.failedThisSample = true;
                ok = false;
                continue;
            }
            // Whether it read all the last sample brought, before this one
            // adds to it (and the window it offers before that).
            noteUp(i, nowMs);
        }
        // The backlog goes first, so that packets keep their order; every
        // failure below has dropped the connection.
        bool sent = flushBacklog(i, nowMs);
        if (sent && !block->isTemplateSent(s, v)) {
            sent = sendWhole(i, templates, nowMs);
            if (sent) block->setTemplateSent(s, v, true);
        }
        if (sent) sent = sendWhole(i, data, nowMs);
        if (!sent) {
            c.failedThisSample = true;
            ok = false;
            continue;
        }
        c.usableThisSample = true;
        noteUp(i, nowMs);
        s->resetFailureCount();
        s->resetConnectingFlag();
    }
    return ok;
}
