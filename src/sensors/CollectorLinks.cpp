#include "CollectorLinks.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <utility>

#include "Configuration.h"
#include "ParamNames.h"

namespace {

// Load tests wait this long, for all new connections of a call together,
// before they go on without the ones still pending.
constexpr int BLASTER_CONNECT_WAIT_MS = 50;
// Longer waits are cut into slices of this length to look for a stop request.
constexpr int STOP_CHECK_MS = 100;

constexpr char BLANKS[] = " \n\r\t";

std::string trimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

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

}  // namespace

CollectorLinks::CollectorLinks(const std::vector<SensorCtrlBlock*>& blocks, const Logger& log)
    : blocks(blocks), logger(log) {}

CollectorLinks::~CollectorLinks() {
    for (Socket* s : sockets) delete s;
}

void CollectorLinks::open(const Cfg::ParamValStore* params, int socketTimeout, time_t now) {
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
            std::string host, port;
            entry->getString(Cfg::COLHOST, host);
            entry->getString(Cfg::COLPORT, port);
            host = trimBlanks(host);
            port = trimBlanks(port);
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
    state.resize(sockets.size());
    collectorFds.resize(sockets.size(), -1);
    for (size_t i = 0; i < sockets.size(); ++i) {
        Socket* s = sockets[i];
        if (s->connecting || s->connected) continue;
        state[i].lastStart = now;
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

void CollectorLinks::beginSample() {
    if (state.size() != sockets.size()) {
        state.resize(sockets.size());
        publishFds();
    }
    for (CollectorState& c : state) {
        c.failedThisSample = false;
        c.usableThisSample = false;
    }
    connectsStarted = false;
}

void CollectorLinks::startConnections(SensorCtrlBlock* block, uint32_t v, time_t now,
                                      bool loadTest) {
    std::vector<size_t> fresh;
    for (size_t i = 0; i < sockets.size(); ++i) {
        const Socket* s = sockets[i];
        CollectorState& c = state[i];
        if (c.failedThisSample || c.usableThisSample || s->connecting || s->connected) continue;
        if (startConnection(i, block, v, now, loadTest))
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

void CollectorLinks::logConnectionFailure(size_t i, const char* what) {
    CollectorState& c = state[i];
    if (c.inOutage) return;
    c.inOutage = true;
    reportNextConnectionError = false;
    Socket* s = sockets[i];
    if (what == nullptr) {
        logger.logError("Failed to connect to collector at %s (%s) for service %s, will retry",
                        s->destHost.c_str(), s->remoteAddr.as_string.c_str(),
                        s->destService.c_str());
        return;
    }
    std::string text;
    const int err = s->getLastError(text);
    logger.logError("Error on socket to %s: %s (%d)", s->destHost.c_str(), text.c_str(), err);
}

void CollectorLinks::dropConnection(size_t i) {
    forgetTemplates(sockets[i]);
    closeCollector(i);
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
                                     bool loadTest) {
    Socket* s = sockets[i];
    CollectorState& c = state[i];
    if (loadTest) {
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
    // At most one connection start per second per collector, however many
    // sensors report in that second.
    if (c.lastStart == now) return false;
    if (s->connectFailures >= 10 && now - s->lastResolveTime >= 60) {
        const std::string oldAddress = s->remoteAddr.as_string;
        if (!s->refreshRemoteAddrsList()) {
            logger.logError("Failed to resolve collector %s ip address, will retry",
                            s->destHost.c_str());
            return false;
        }
        if (s->remoteAddr.as_string != oldAddress)
            logger.logWarning(
                "The ip address of collector %s has changed, old Address was: %s, new address "
                "is: %s",
                s->destHost.c_str(), oldAddress.c_str(), s->remoteAddr.as_string.c_str());
    }
    c.lastStart = now;
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

bool CollectorLinks::deliver(SensorCtrlBlock* block, const char* dataPacket, uint32_t dataLength,
                             const char* templatePacket, uint32_t templateLength, uint32_t v,
                             bool loadTest) {
    if (sockets.empty()) {
        reportNextConnectionError = true;
        return true;
    }
    const time_t now = time(nullptr);
    if (!connectsStarted && !stopSending) {
        startConnections(block, v, now, loadTest);
        connectsStarted = true;
    }
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
        bool sent = true;
        if (!c.usableThisSample) {
            // A pending connect is looked at without waiting: one that does
            // not complete (a host that never answers) would otherwise cost
            // every sample a wait, and the live collectors their samples.
            if (!s->checkConnection(0)) {
                if (!s->connecting && !s->connected) {
                    // The pending connect failed (refused, timed out).
                    logConnectionFailure(i, "socket");
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
                logConnectionFailure(i, "socket");
                dropConnection(i);
                c.failedThisSample = true;
                ok = false;
                continue;
            }
            // A collector never sends; a readable end of stream means it
            // closed the connection, and whatever is sent now would be lost.
            sent = quiet || !peerClosed(s);
            if (sent) s->setBlock();
        }
        if (sent && !block->isTemplateSent(s, v)) {
            sent = s->sendBlocking(templatePacket, templateLength) ==
                   static_cast<ssize_t>(templateLength);
            block->setTemplateSent(s, v, sent);
        }
        if (sent)
            sent = s->sendBlocking(dataPacket, dataLength) == static_cast<ssize_t>(dataLength);
        if (sent) {
            c.usableThisSample = true;
            s->resetFailureCount();
            c.inOutage = false;
            if (s->connecting) {
                s->resetConnectingFlag();
                logger.logInfo("Connection to %s (%s) successfully established.",
                               s->destHost.c_str(), s->remoteAddr.as_string.c_str());
            }
            continue;
        }
        if (!stopSending)
            logger.logError("Sending to %s failed. Reconnecting!", s->destHost.c_str());
        dropConnection(i);
        c.failedThisSample = true;
        ok = false;
    }
    if (ok) reportNextConnectionError = true;
    return ok;
}
