// Loopback only: every peer is a listener this test opens on 127.0.0.1 or ::1.
#include "Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "Logger.h"

namespace {

// A TCP socket bound to a loopback port chosen by the kernel. Listening, it
// accepts connections; bound only, it refuses them and keeps the port from
// being taken by anyone else meanwhile.
class Peer {
  public:
    Peer(int family, bool listening) {
        fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        }
        ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
             (!listening || listen(fd, 8) == 0) &&
             getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0;
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    }
    ~Peer() {
        for (int c : accepted) close(c);
        if (fd >= 0) close(fd);
    }
    std::string service() const { return std::to_string(port); }
    // Waits at most 5 s, so that a failed connect fails the test instead of hanging it.
    int accept() {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return -1;
        int c = ::accept(fd, nullptr, nullptr);
        if (c >= 0) accepted.push_back(c);
        return c;
    }

    int fd;
    bool ok;
    uint16_t port = 0;
    std::vector<int> accepted;
};

bool haveIPv6Loopback() {
    Peer p(AF_INET6, true);
    return p.ok;
}

int portOf(const Socket::SocketAddr& a) {
    if (a.addr4 != nullptr) return ntohs(a.addr4->sin_port);
    if (a.addr6 != nullptr) return ntohs(a.addr6->sin6_port);
    return -1;
}

template <class T>
T sockopt(int fd, int level, int name) {
    T v{};
    socklen_t len = sizeof v;
    EXPECT_EQ(getsockopt(fd, level, name, &v, &len), 0);
    return v;
}

bool nonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

TEST(Socket, UnresolvableServiceFailsEveryConnectWithTheResolversText) {
    Socket s("127.0.0.1", "no-such-service-velmar");
    EXPECT_NE(s.gaiErrNum, 0);
    EXPECT_EQ(s.remoteAddressList, nullptr);
    EXPECT_FALSE(s.connectSync());
    EXPECT_FALSE(s.connectAsync());
    EXPECT_EQ(s.getFailureCount(), 2u);
    EXPECT_EQ(s.sockFD, -1);
    std::string text;
    EXPECT_EQ(s.getLastError(text), s.gaiErrNum);
    EXPECT_EQ(text, gai_strerror(s.gaiErrNum));

    // Re-resolution fails the same way, and stamps the attempt.
    EXPECT_FALSE(s.refreshRemoteAddrsList());
    EXPECT_NE(s.getLastResolveTime(), 0);
}

TEST(Socket, RefusedCandidateIsClosedAndTheNextOneUsed) {
    Peer refused(AF_INET, false), open(AF_INET, true);
    ASSERT_TRUE(refused.ok && open.ok);
    int gai = 0;
    addrinfo* first = Socket::resolveAddress("127.0.0.1", refused.service(), &gai);
    addrinfo* second = Socket::resolveAddress("127.0.0.1", open.service(), &gai);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(first->ai_next, nullptr);
    first->ai_next = second;

    Socket s("127.0.0.1", open.service());
    ASSERT_TRUE(s.connectSync(first));
    EXPECT_TRUE(s.isConnected());
    EXPECT_FALSE(s.isConnecting());
    EXPECT_EQ(s.remoteAddr.as_string, "127.0.0.1");
    EXPECT_EQ(portOf(s.remoteAddr), open.port);
    // Only the failure of the last candidate counts.
    EXPECT_EQ(s.getFailureCount(), 0u);
    EXPECT_GE(open.accept(), 0);

    // The variant with a bounded wait walks the list the same way.
    Socket peer("127.0.0.1", open.service());
    peer.setTimeoutValue(5);
    EXPECT_TRUE(peer.connectSyncPeer(first));
    EXPECT_EQ(portOf(peer.remoteAddr), open.port);

    first->ai_next = nullptr;
    freeaddrinfo(first);
    freeaddrinfo(second);
}

TEST(Socket, AsyncConnectCheckAndSend) {
    Peer open(AF_INET, true);
    ASSERT_TRUE(open.ok);
    Socket s("127.0.0.1", open.service());
    s.connectFailures = 3;
    time_t before = time(nullptr);
    ASSERT_TRUE(s.connectAsync());
    EXPECT_TRUE(s.isConnecting());
    EXPECT_FALSE(s.isConnected());
    EXPECT_GE(s.getLastConnectTime(), before);
    EXPECT_FALSE(nonBlocking(s.sockFD));

    EXPECT_TRUE(s.checkConnection(1000));
    EXPECT_EQ(s.hasError(), 0);
    EXPECT_TRUE(s.isWriteable());
    // Writable is not yet known to work: the first complete send says so.
    EXPECT_FALSE(s.isConnected());
    EXPECT_EQ(s.getFailureCount(), 3u);

    EXPECT_EQ(s.sendBlocking("hello", 5), 5);
    EXPECT_TRUE(s.isConnected());
    EXPECT_EQ(s.getFailureCount(), 0u);
    EXPECT_TRUE(s.checkConnection(0));

    int c = open.accept();
    ASSERT_GE(c, 0);
    char buf[8] = {};
    EXPECT_EQ(recv(c, buf, sizeof buf, 0), 5);
    EXPECT_STREQ(buf, "hello");

    // Data from the peer also shows the connection alive.
    ASSERT_EQ(send(c, "ok", 2, 0), 2);
    s.connectFailures = 2;
    EXPECT_TRUE(s.isReadable(1000));
    EXPECT_EQ(s.receive(buf, sizeof buf), 2);
    EXPECT_EQ(s.getFailureCount(), 0u);
}

TEST(Socket, RefusedConnectsCountAndCloseKeepsTheCount) {
    Peer refused(AF_INET, false);
    ASSERT_TRUE(refused.ok);
    Socket s("127.0.0.1", refused.service());
    EXPECT_FALSE(s.connectSync());
    EXPECT_EQ(s.getFailureCount(), 1u);
    EXPECT_FALSE(s.isConnected());
    // The failed descriptor is not kept for the next attempt.
    EXPECT_EQ(s.sockFD, -1);
    std::string text;
    EXPECT_EQ(s.getLastError(text), ECONNREFUSED);
    EXPECT_EQ(text, strerror(ECONNREFUSED));

    // A non-blocking connect may be refused at once or only when checked.
    if (s.connectAsync()) {
        EXPECT_TRUE(s.isConnecting());
        EXPECT_FALSE(s.checkConnection(1000));
        EXPECT_FALSE(s.isConnecting());
        EXPECT_EQ(s.errNum, ECONNREFUSED);
    } else {
        EXPECT_EQ(s.sockFD, -1);
    }
    EXPECT_EQ(s.getFailureCount(), 2u);

    s.closeSocket(false);
    EXPECT_EQ(s.getFailureCount(), 2u);
    EXPECT_EQ(s.getLastError(text), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(s.getLastConnectTime(), 0);
    s.resetFailureCount();
    EXPECT_EQ(s.getFailureCount(), 0u);
}

// After the only candidate fails, a re-resolution to another address family
// must connect with a fresh descriptor of that family.
TEST(Socket, ReconnectAfterFailureToAnotherAddressFamily) {
    if (!haveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    Peer refused(AF_INET, false), open6(AF_INET6, true);
    ASSERT_TRUE(refused.ok && open6.ok);
    Socket s("127.0.0.1", refused.service());
    ASSERT_FALSE(s.connectSync());

    s.destHost = "::1";
    s.destService = open6.service();
    ASSERT_TRUE(s.refreshRemoteAddrsList());
    EXPECT_EQ(s.remoteAddr.as_string, "::1");
    EXPECT_NE(s.remoteAddr.addr6, nullptr);
    EXPECT_EQ(s.remoteAddr.addr4, nullptr);
    ASSERT_TRUE(s.connectSync());
    EXPECT_EQ(s.getFailureCount(), 1u);
    EXPECT_GE(open6.accept(), 0);
}

TEST(Socket, TimeoutOptionsAreAppliedOnConnect) {
    Peer open(AF_INET, true);
    ASSERT_TRUE(open.ok);
    Socket s("127.0.0.1", open.service());
    s.setTimeoutValue(7);
    ASSERT_TRUE(s.connectSync());
    EXPECT_EQ(sockopt<timeval>(s.sockFD, SOL_SOCKET, SO_SNDTIMEO).tv_sec, 7);
    EXPECT_EQ(sockopt<timeval>(s.sockFD, SOL_SOCKET, SO_RCVTIMEO).tv_sec, 7);
    EXPECT_EQ(sockopt<unsigned int>(s.sockFD, IPPROTO_TCP, TCP_USER_TIMEOUT), 7000u);
    EXPECT_EQ(sockopt<int>(s.sockFD, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_NE(fcntl(s.sockFD, F_GETFD) & FD_CLOEXEC, 0);

    // A value too large for the millisecond option saturates it.
    s.setTimeoutValue(5000000);
    EXPECT_TRUE(s.setConnectionTimeout());
    EXPECT_EQ(sockopt<unsigned int>(s.sockFD, IPPROTO_TCP, TCP_USER_TIMEOUT), 0x7FFFFFFFu);
    s.setTimeoutValue(-1);
    EXPECT_FALSE(s.setConnectionTimeout());

    Socket none("127.0.0.1", open.service());
    ASSERT_TRUE(none.connectSync());
    EXPECT_EQ(sockopt<timeval>(none.sockFD, SOL_SOCKET, SO_SNDTIMEO).tv_sec, 0);
    EXPECT_EQ(sockopt<unsigned int>(none.sockFD, IPPROTO_TCP, TCP_USER_TIMEOUT), 0u);
}

TEST(Socket, BlockingModeSwitchesReportAndRestoreTheFlag) {
    Peer open(AF_INET, true);
    ASSERT_TRUE(open.ok);
    Socket s("127.0.0.1", open.service());
    ASSERT_TRUE(s.connectSync());
    EXPECT_FALSE(s.setNonBlock());
    EXPECT_TRUE(nonBlocking(s.sockFD));
    EXPECT_EQ(s.sendBlocking("x", 1), 1);
    EXPECT_TRUE(nonBlocking(s.sockFD));
    EXPECT_TRUE(s.setBlock());
    EXPECT_FALSE(nonBlocking(s.sockFD));
    EXPECT_EQ(s.sendBlocking("y", 1), 1);
    EXPECT_FALSE(nonBlocking(s.sockFD));
}

TEST(Socket, SendToAClosedPeerFailsWithoutSignal) {
    Peer open(AF_INET, true);
    ASSERT_TRUE(open.ok);
    Socket s("127.0.0.1", open.service());
    ASSERT_TRUE(s.connectSync());
    int c = open.accept();
    ASSERT_GE(c, 0);
    // Closing with unread data makes the peer reset the connection.
    ASSERT_EQ(s.sendBlocking("a", 1), 1);
    linger l = {1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(c);
    open.accepted.clear();
    ssize_t n = 0;
    for (int i = 0; i < 50 && n >= 0; ++i) n = s.sendBlocking("data", 4);
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(s.errNum == EPIPE || s.errNum == ECONNRESET) << s.errNum;
}

TEST(Socket, LocalInterfaceBinding) {
    Peer open(AF_INET, true);
    ASSERT_TRUE(open.ok);
    Socket s("127.0.0.1", open.service());
    s.setLocalInterface("127.0.0.1");
    ASSERT_TRUE(s.connectSync());
    EXPECT_EQ(s.localAddr.as_string, "127.0.0.1");

    // A local address of another family cannot be bound: the connect goes on unbound.
    Socket other("127.0.0.1", open.service());
    other.setLocalInterface("::1");
    EXPECT_TRUE(other.connectSync());
    EXPECT_EQ(other.localAddr.as_string, "");
}

TEST(Socket, WrappedDescriptorNeverConnects) {
    Peer open(AF_INET, true);
    ASSERT_TRUE(open.ok);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(open.port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Socket s(fd, reinterpret_cast<sockaddr*>(&peer), nullptr);
    EXPECT_FALSE(s.isActive());
    EXPECT_EQ(s.remoteAddr.as_string, "127.0.0.1");
    EXPECT_FALSE(s.connectSync());
    EXPECT_FALSE(s.connectAsync());
    EXPECT_FALSE(s.connectSyncPeer(nullptr));
    EXPECT_EQ(s.getFailureCount(), 0u);
    EXPECT_EQ(s.sockFD, fd);
}

TEST(Socket, LocalAddressesAndAddressText) {
    Socket keepInterfaces("127.0.0.1", "1");
    in_addr a4;
    inet_pton(AF_INET, "127.9.8.7", &a4);
    EXPECT_TRUE(Socket::isLocalAddr4(&a4));
    inet_pton(AF_INET, "198.51.100.7", &a4);
    EXPECT_FALSE(Socket::isLocalAddr4(&a4));
    in6_addr a6;
    inet_pton(AF_INET6, "2001:db8::7", &a6);
    EXPECT_FALSE(Socket::isLocalAddr6(&a6));
    if (haveIPv6Loopback()) {
        EXPECT_TRUE(Socket::isLocalAddr6(&in6addr_loopback));
    }

    // Every address of the host's own interfaces is local.
    ifaddrs* ifs = nullptr;
    ASSERT_EQ(getifaddrs(&ifs), 0);
    for (ifaddrs* i = ifs; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr) continue;
        int f = i->ifa_addr->sa_family;
        if (f == AF_INET || f == AF_INET6) {
            EXPECT_TRUE(Socket::isLocalAddr(i->ifa_addr)) << i->ifa_name;
        }
    }
    freeifaddrs(ifs);
    EXPECT_TRUE(Socket::isLocalAddr(keepInterfaces.remoteAddressList));

    std::string text = "keep";
    sockaddr un = {};
    un.sa_family = AF_UNIX;
    Socket::addressToString(&un, text);
    EXPECT_EQ(text, "keep");
    Socket::addressToString(nullptr, text);
    EXPECT_EQ(text, "");

    // A copied endpoint points into its own storage.
    Socket::SocketAddr copy = keepInterfaces.remoteAddr;
    EXPECT_EQ(copy.as_string, "");
    ASSERT_TRUE(keepInterfaces.refreshRemoteAddrsList());
    copy = keepInterfaces.remoteAddr;
    ASSERT_NE(copy.addr4, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(copy.addr4), reinterpret_cast<void*>(&copy.sockAddr));
    EXPECT_EQ(copy.as_string, "127.0.0.1");
    EXPECT_EQ(sockaddrcmp(reinterpret_cast<sockaddr*>(&copy.sockAddr),
                          reinterpret_cast<sockaddr*>(&keepInterfaces.remoteAddr.sockAddr)),
              0);
}

class RecordingLogger : public Logger {
  public:
#define VELMAR_RECORD(sev) \
    va_list ap;            \
    va_start(ap, fmt);     \
    record(sev, fmt, ap);  \
    va_end(ap)
    void logDebug(const char* fmt, ...) const override { VELMAR_RECORD("D"); }
    void logInfo(const char* fmt, ...) const override { VELMAR_RECORD("I"); }
    void logWarning(const char* fmt, ...) const override { VELMAR_RECORD("W"); }
    void logError(const char* fmt, ...) const override { VELMAR_RECORD("E"); }
    void logFatalAndStop(const char* fmt, ...) const override { VELMAR_RECORD("F"); }
#undef VELMAR_RECORD
    mutable std::vector<std::string> lines;

  private:
    void record(const char* sev, const char* fmt, va_list ap) const {
        char buf[512];
        vsnprintf(buf, sizeof buf, fmt, ap);
        lines.push_back(std::string(sev) + " " + buf);
    }
};

TEST(Socket, ServerSocketBindsOrLogsWhy) {
    RecordingLogger log;
    EXPECT_EQ(server_socket("127.0.0.1", nullptr, &log), -1);
    EXPECT_TRUE(log.lines.empty());

    int fd = server_socket("127.0.0.1", "0", &log);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(log.lines.empty());

    int rc = server_socket("127.0.0.1", "no-such-service-velmar", &log);
    EXPECT_LT(rc, 0);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0],
              std::string("E could not get address for 127.0.0.1:no-such-service-velmar: ") +
                  gai_strerror(rc));

    // The port is taken by fd (no SO_REUSEPORT), so the bind fails.
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    log.lines.clear();
    EXPECT_EQ(server_socket("127.0.0.1", std::to_string(ntohs(a.sin_port)).c_str(), &log), -1);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], std::string("W bind failed: ") + strerror(EADDRINUSE));
    EXPECT_EQ(log.lines[1].rfind("E could not bind to address 127.0.0.1:", 0), 0u);
    close(fd);
}

}  // namespace
