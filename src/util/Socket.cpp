#include "Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "Logger.h"

ifaddrs* Socket::localInterfaces = nullptr;
uint32_t Socket::localIFRefCount = 0;
std::mutex Socket::localIFLock;

namespace {

addrinfo resolverHints(int flags, int protocol) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_flags = flags;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = protocol;
    return hints;
}

// Sets or clears O_NONBLOCK keeping the other status flags; true when it was
// set before. Unreadable flags are replaced by O_NONBLOCK alone (or none).
bool changeNonBlock(int fd, bool nonBlock) {
    int flags = fcntl(fd, F_GETFL, 0);
    bool wasSet = false;
    if (flags < 0) {
        flags = 0;
    } else {
        wasSet = (flags & O_NONBLOCK) != 0;
    }
    flags = nonBlock ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    fcntl(fd, F_SETFL, flags);
    return wasSet;
}

// The pending error of a socket; a failure to read it is an error in itself.
int pendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

// True when an interface of `list` with an address of `family` has `addr`
// as the member `field` of that address. Interfaces without an address (or
// of another family) have no say.
template <class SockAddr, class Addr>
bool hasInterfaceAddr(const ifaddrs* list, int family, Addr SockAddr::*field, const Addr& addr) {
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != family) continue;
        const Addr& a = reinterpret_cast<const SockAddr*>(i->ifa_addr)->*field;
        if (std::memcmp(&a, &addr, sizeof a) == 0) return true;
    }
    return false;
}

}  // namespace

// ---- SocketAddr ----

Socket::SocketAddr::SocketAddr() : addr4(nullptr), addr6(nullptr) {
    std::memset(&sockAddr, 0, sizeof sockAddr);
}

Socket::SocketAddr::SocketAddr(const SocketAddr& other) : SocketAddr() { *this = other; }

Socket::SocketAddr& Socket::SocketAddr::operator=(const SocketAddr& other) {
    if (this == &other) return *this;
    sockAddr = other.sockAddr;
    as_string = other.as_string;
    addr4 = other.addr4 != nullptr ? reinterpret_cast<sockaddr_in*>(&sockAddr) : nullptr;
    addr6 = other.addr6 != nullptr ? reinterpret_cast<sockaddr_in6*>(&sockAddr) : nullptr;
    return *this;
}

void Socket::SocketAddr::set(const sockaddr* sa) {
    std::memset(&sockAddr, 0, sizeof sockAddr);
    addr4 = nullptr;
    addr6 = nullptr;
    as_string.clear();
    if (sa == nullptr) return;
    switch (sa->sa_family) {
        case AF_INET:
            std::memcpy(&sockAddr, sa, sizeof(sockaddr_in));
            addr4 = reinterpret_cast<sockaddr_in*>(&sockAddr);
            break;
        case AF_INET6:
            std::memcpy(&sockAddr, sa, sizeof(sockaddr_in6));
            addr6 = reinterpret_cast<sockaddr_in6*>(&sockAddr);
            break;
        default:
            // The length of an unknown family's address is not known here.
            sockAddr.ss_family = sa->sa_family;
            as_string = "unknown address family";
            return;
    }
    addressToString(reinterpret_cast<const sockaddr*>(&sockAddr), as_string);
}

// ---- construction ----

Socket::Socket(const std::string& host, const std::string& service)
    : destHost(host), destService(service), active(true) {
    int gai = 0;
    remoteAddressList = resolveAddress(host, service, &gai);
    gaiErrNum = gai;
    resolveError = gai;
    getLocalIFs();
}

Socket::Socket(int sockfd, sockaddr* peerAddr, sockaddr* locAddr) : sockFD(sockfd), active(false) {
    if (peerAddr != nullptr) remoteAddr.set(peerAddr);
    if (locAddr != nullptr) localAddr.set(locAddr);
    getLocalIFs();
}

Socket::~Socket() {
    if (sockFD != -1) {
        shutdown(sockFD, SHUT_RDWR);
        close(sockFD);
    }
    if (remoteAddressList != nullptr) freeaddrinfo(remoteAddressList);
    releaseLocalIFs();
}

// ---- resolution ----

addrinfo* Socket::resolveAddress(const std::string& hostname, const std::string& service,
                                 int* gai_error) {
    addrinfo hints = resolverHints(AI_ADDRCONFIG, 0);
    addrinfo* list = nullptr;
    int rc =
        getaddrinfo(hostname.c_str(), service.empty() ? nullptr : service.c_str(), &hints, &list);
    if (gai_error != nullptr) *gai_error = rc;
    if (rc != 0) {
        if (list != nullptr) freeaddrinfo(list);
        return nullptr;
    }
    return list;
}

bool Socket::refreshRemoteAddrsList() {
    lastResolveTime = time(nullptr);
    int gai = 0;
    addrinfo* list = resolveAddress(destHost, destService, &gai);
    gaiErrNum = gai;
    resolveError = gai;
    if (remoteAddressList != nullptr) freeaddrinfo(remoteAddressList);
    remoteAddressList = list;
    if (list == nullptr) return false;
    remoteAddr.set(list->ai_addr);
    return true;
}

// ---- connecting ----

bool Socket::connectAsync() { return connectAsync(remoteAddressList); }
bool Socket::connectSync() { return connectSync(remoteAddressList); }

bool Socket::connectAsync(addrinfo* start) {
    if (!active) return false;
    return connectInternal(true, time(nullptr), start) == 0;
}

bool Socket::connectSync(addrinfo* start) {
    if (!active) return false;
    return connectInternal(false, time(nullptr), start) == 0;
}

void Socket::setSysError(int err) {
    errNum = err;
    gaiErrNum = 0;
}

void Socket::closeFD() {
    if (sockFD != -1) close(sockFD);
    sockFD = -1;
    nonBlockMode = -1;
}

bool Socket::changeMode(bool nonBlock) {
    // Only this class changes the descriptor's flags, so the mode it set last
    // is the mode it has: a sender that asks for the mode in force on every
    // packet costs no system call.
    if (nonBlockMode == (nonBlock ? 1 : 0)) return nonBlock;
    const bool wasSet = changeNonBlock(sockFD, nonBlock);
    nonBlockMode = nonBlock ? 1 : 0;
    return wasSet;
}

bool Socket::createSockFD(const addrinfo* entry) {
    // Close-on-exec: the daemon starts relay programs, which must not hold
    // a collector connection open.
    int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0) {
        setSysError(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (entry->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockFD = fd;
    nonBlockMode = 0;  // a new socket blocks
    return true;
}

bool Socket::bindInternal() {
    if (localIface.empty()) return true;
    addrinfo hints = resolverHints(AI_ADDRCONFIG, 0);
    addrinfo* list = nullptr;
    // A local address that does not resolve is skipped: the connect goes on unbound.
    if (getaddrinfo(localIface.c_str(), nullptr, &hints, &list) != 0) {
        if (list != nullptr) freeaddrinfo(list);
        return true;
    }
    bool bound = list == nullptr;
    for (addrinfo* a = list; a != nullptr && !bound; a = a->ai_next) {
        if (bind(sockFD, a->ai_addr, a->ai_addrlen) == 0) {
            localAddr.set(a->ai_addr);
            bound = true;
        } else {
            setSysError(errno);
        }
    }
    if (list != nullptr) freeaddrinfo(list);
    return bound;
}

int Socket::connectInternal(bool async, time_t t, addrinfo* remoteAddrs) {
    addrinfo* entry = remoteAddrs;
    if (entry == nullptr) {
        ++connectFailures;
        return -1;
    }
    for (;;) {
        if (sockFD == -1 && createSockFD(entry)) bindInternal();
        if (sockFD == -1) {
            ++connectFailures;
            return -1;
        }
        changeMode(async);
        if (connect(sockFD, entry->ai_addr, entry->ai_addrlen) == 0 || errno == EINPROGRESS) break;
        int err = errno;
        // The descriptor is dropped after every failed candidate, the last one
        // included: a later connect may go to another address family after a
        // re-resolution, and must start from a fresh descriptor.
        closeFD();
        if (entry->ai_next == nullptr) {
            setSysError(err);
            connecting = false;
            connected = false;
            ++connectFailures;
            return -1;
        }
        entry = entry->ai_next;
    }
    lastConnectTime = t;
    remoteAddr.set(entry->ai_addr);
    if (timeout > 0) setConnectionTimeout();
    changeMode(false);
    connected = !async;
    connecting = async;
    return 0;
}

bool Socket::connectSyncPeer(addrinfo* start) {
    if (!active) return false;
    if (start == nullptr) {
        ++connectFailures;
        return false;
    }
    int lastErr = 0;
    for (addrinfo* entry = start; entry != nullptr; entry = entry->ai_next) {
        if (sockFD == -1 && createSockFD(entry)) bindInternal();
        if (sockFD == -1) {
            lastErr = errNum;
            continue;
        }
        changeMode(true);
        int err = 0;
        if (connect(sockFD, entry->ai_addr, entry->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                // poll rather than select: descriptors above FD_SETSIZE are fine.
                pollfd p = {sockFD, POLLOUT, 0};
                int r = poll(&p, 1, timeout > 0 ? timeout * 1000 : -1);
                err = r > 0 ? pendingError(sockFD) : (r == 0 ? ETIMEDOUT : errno);
            }
        }
        if (err == 0) {
            lastConnectTime = time(nullptr);
            remoteAddr.set(entry->ai_addr);
            changeMode(false);
            connected = true;
            connecting = false;
            return true;
        }
        lastErr = err;
        closeFD();
    }
    setSysError(lastErr);
    connecting = false;
    connected = false;
    ++connectFailures;
    return false;
}

// ---- options ----

bool Socket::setConnectionTimeout() {
    if (timeout < 0) return false;
    timeval tv = {timeout, 0};
    // TCP_USER_TIMEOUT is in milliseconds and the kernel takes no more than
    // INT_MAX; a huge configured value saturates instead of wrapping.
    long long ms = static_cast<long long>(timeout) * 1000;
    unsigned int userTimeout = ms > INT_MAX ? INT_MAX : static_cast<unsigned int>(ms);
    bool ok = setsockopt(sockFD, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
    ok = setsockopt(sockFD, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 && ok;
    ok = setsockopt(sockFD, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) == 0 &&
         ok;
    return ok;
}

bool Socket::setRecvTimeout(timeval* tv) {
    if (tv == nullptr) return false;
    return setsockopt(sockFD, SOL_SOCKET, SO_RCVTIMEO, tv, sizeof *tv) == 0;
}

bool Socket::setNonBlock() { return changeMode(true); }
bool Socket::setBlock() { return changeMode(false); }

// ---- state checks ----

bool Socket::checkConnection(int timeoutMS) {
    if (connected) return true;
    if (sockFD == -1) return false;
    pollfd p = {sockFD, POLLOUT | POLLERR | POLLHUP, 0};
    int r = poll(&p, 1, timeoutMS);
    if (r == 0) return false;
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
        return (p.revents & POLLOUT) != 0;
    // The failure, if the socket has one, is recorded.
    hasError();
    return false;
}

int Socket::hasError() {
    errNum = pendingError(sockFD);
    if (errNum != 0) {
        gaiErrNum = 0;
        ++connectFailures;
        connecting = false;
        connected = false;
    }
    return errNum;
}

bool Socket::isWriteable() {
    pollfd p = {sockFD, POLLOUT | POLLHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) != 0;
}

bool Socket::isReadable(int timeoutMS) {
    pollfd p = {sockFD, POLLIN | POLLPRI, 0};
    return poll(&p, 1, timeoutMS) > 0 && (p.revents & (POLLIN | POLLPRI)) != 0;
}

// ---- data transfer ----

ssize_t Socket::sendBlocking(const void* buf, unsigned int len) {
    bool wasNonBlock = changeMode(false);
    ssize_t n = send(sockFD, buf, len, MSG_NOSIGNAL);
    int err = errno;
    if (wasNonBlock) changeMode(true);
    if (n == static_cast<ssize_t>(len)) {
        connected = true;
        connectFailures = 0;
    } else if (n < 0) {
        setSysError(err);
    }
    return n;
}

ssize_t Socket::sendAvailable(const void* buf, size_t len) {
    const ssize_t n = send(sockFD, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        connected = true;
        connectFailures = 0;
        return n;
    }
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    setSysError(errno);
    return -1;
}

ssize_t Socket::receive(void* buf, unsigned int len) {
    bool wasNonBlock = changeMode(false);
    ssize_t n = recv(sockFD, buf, len, 0);
    int err = errno;
    if (wasNonBlock) changeMode(true);
    if (n > 0 || (n < 0 && err == EAGAIN)) {
        connected = true;
        connectFailures = 0;
    } else if (n < 0) {
        setSysError(err);
    }
    return n;
}

// ---- closing and errors ----

void Socket::closeSocket(bool hard) {
    if (sockFD != -1) {
        if (hard) {
            changeMode(false);
            shutdown(sockFD, SHUT_RDWR);
        }
        close(sockFD);
    }
    sockFD = -1;
    connecting = false;
    connected = false;
    lastConnectTime = 0;
    errNum = 0;
    gaiErrNum = 0;
}

int Socket::getLastError(std::string& text) const {
    text.clear();
    if (gaiErrNum != 0) {
        text = gai_strerror(gaiErrNum);
        return gaiErrNum;
    }
    if (errNum != 0) text = strerror(errNum);
    return errNum;
}

// ---- addresses ----

void Socket::addressToString(const sockaddr* sa, std::string& text) {
    if (sa == nullptr) {
        text.clear();
        return;
    }
    char buf[INET6_ADDRSTRLEN];
    const char* r;
    if (sa->sa_family == AF_INET) {
        r = inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf,
                      sizeof buf);
    } else if (sa->sa_family == AF_INET6) {
        r = inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf,
                      sizeof buf);
    } else {
        return;
    }
    text = r != nullptr ? r : UNKNOWN_IP_ADDR;
}

void Socket::getLocalIFs() {
    std::lock_guard<std::mutex> lock(localIFLock);
    ++localIFRefCount;
    if (localInterfaces == nullptr && getifaddrs(&localInterfaces) != 0) localInterfaces = nullptr;
}

void Socket::releaseLocalIFs() {
    std::lock_guard<std::mutex> lock(localIFLock);
    if (localIFRefCount > 0) --localIFRefCount;
    if (localIFRefCount == 0 && localInterfaces != nullptr) {
        freeifaddrs(localInterfaces);
        localInterfaces = nullptr;
    }
}

bool Socket::isLocalAddr4(const in_addr* addr) {
    if (addr == nullptr) return false;
    if ((ntohl(addr->s_addr) >> 24) == 127) return true;
    std::lock_guard<std::mutex> lock(localIFLock);
    return hasInterfaceAddr(localInterfaces, AF_INET, &sockaddr_in::sin_addr, *addr);
}

bool Socket::isLocalAddr6(const in6_addr* addr) {
    if (addr == nullptr) return false;
    std::lock_guard<std::mutex> lock(localIFLock);
    return hasInterfaceAddr(localInterfaces, AF_INET6, &sockaddr_in6::sin6_addr, *addr);
}

bool Socket::isLocalAddr(const sockaddr* sa) {
    if (sa == nullptr) return false;
    if (sa->sa_family == AF_INET)
        return isLocalAddr4(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
    if (sa->sa_family == AF_INET6)
        return isLocalAddr6(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    return false;
}

bool Socket::isLocalAddr(const addrinfo* list) {
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (isLocalAddr(a->ai_addr)) return true;
    }
    return false;
}

// ---- free functions ----

int sockaddrany(const sockaddr* sa) {
    if (sa->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr == htonl(INADDR_ANY) ? 1
                                                                                              : 0;
    if (sa->sa_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, &in6addr_any,
                           sizeof(in6_addr));
    return -1;
}

int sockaddrcmpport(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return a->sa_family - b->sa_family;
    if (a->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(a)->sin_port -
               reinterpret_cast<const sockaddr_in*>(b)->sin_port;
    if (a->sa_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6*>(a)->sin6_port -
               reinterpret_cast<const sockaddr_in6*>(b)->sin6_port;
    return -1;
}

int sockaddrcmp(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return a->sa_family - b->sa_family;
    if (a->sa_family != AF_INET && a->sa_family != AF_INET6) return -1;
    int port = sockaddrcmpport(a, b);
    if (port != 0) return port;
    if (a->sa_family == AF_INET) {
        // Only the sign is meaningful; the full difference may not fit an int.
        uint32_t x = reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr;
        uint32_t y = reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr));
}

int server_socket(const char* host, const char* service, Logger* log) {
    if (service == nullptr) return -1;
    addrinfo hints = resolverHints(AI_PASSIVE, IPPROTO_TCP);
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        if (log != nullptr)
            log->logError("could not get address for %s:%s: %s", host ? host : "", service,
                          gai_strerror(rc));
        if (list != nullptr) freeaddrinfo(list);
        return rc;
    }
    int lastErr = 0;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            if (log != nullptr)
                log->logWarning("socket(%d, %d, %d) failed: %s", a->ai_family, a->ai_socktype,
                                a->ai_protocol, strerror(lastErr));
            continue;
        }
        int one = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 && log != nullptr)
            log->logWarning("setsockopt failed: %s", strerror(errno));
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0) {
            freeaddrinfo(list);
            return fd;
        }
        lastErr = errno;
        if (log != nullptr) log->logWarning("bind failed: %s", strerror(lastErr));
        close(fd);
    }
    freeaddrinfo(list);
    if (log != nullptr)
        log->logError("could not bind to address %s:%s: %s", host ? host : "", service,
                      strerror(lastErr));
    return -1;
}
