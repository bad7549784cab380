// A TCP client connection to one collector, named by host and service. The
// socket keeps the resolved candidate addresses and tries them in order, can
// bind its local end to a configured address, connects with or without
// blocking (a non-blocking connect is completed later by polling), applies a
// send/receive time-out, sends whole buffers in blocking mode and counts
// consecutive connection failures. It never logs: results and getLastError
// carry the last system or resolver error to the caller's log.
//
// Owned by the sensor controller, one per collector; after construction it is
// used by the controller thread only. The export code reads the members
// directly, so they are public. Only the class-wide interface list is shared
// between sockets, under localIFLock.
#pragma once

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

class Logger;

constexpr char UNKNOWN_IP_ADDR[] = "unknown IP address";

class Socket {
  public:
    // One endpoint. addr4 / addr6 point into this object's own sockAddr,
    // whichever matches the family; copies re-point them at their own storage.
    struct SocketAddr {
        sockaddr_storage sockAddr;
        sockaddr_in* addr4;
        sockaddr_in6* addr6;
        std::string as_string;

        SocketAddr();
        SocketAddr(const SocketAddr& other);
        SocketAddr& operator=(const SocketAddr& other);
        // Copies an IPv4 or IPv6 address with its numeric text; any other
        // family keeps only the family; null empties the endpoint.
        void set(const sockaddr* sa);
    };

    // An active client socket; resolves host and service at once. A failed
    // resolution shows only later, as failing connects.
    Socket(const std::string& host, const std::string& service);
    // Wraps a descriptor someone else connected; such a socket never connects.
    Socket(int sockfd, sockaddr* peerAddr, sockaddr* locAddr);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void setLocalInterface(const std::string& iface) { localIface = iface; }
    void setTimeoutValue(int seconds) { timeout = seconds; }

    // Re-resolves host and service, replacing the candidate list; on success
    // remoteAddr shows the first candidate. Sets lastResolveTime either way.
    bool refreshRemoteAddrsList();
    static addrinfo* resolveAddress(const std::string& hostname, const std::string& service,
                                    int* gai_error);

    // Connect to the first candidate that accepts (or, asynchronously, whose
    // connect is under way), starting at `start` or at the list's head. Each
    // failed attempt counts in connectFailures.
    bool connectAsync();
    bool connectAsync(addrinfo* start);
    bool connectSync();
    bool connectSync(addrinfo* start);
    // Connects with a bounded wait of `timeout` seconds (none when 0); does not
    // apply the send/receive time-outs.
    bool connectSyncPeer(addrinfo* start);

    bool setConnectionTimeout();
    bool setRecvTimeout(timeval* tv);
    // Set or clear O_NONBLOCK; both return whether it was set before.
    bool setNonBlock();
    bool setBlock();

    // True when connected, or when a pending connect becomes writable within
    // timeoutMS without error. A pending error counts a failure and clears
    // both connection flags.
    bool checkConnection(int timeoutMS);
    // The pending socket error, 0 for none; non-zero counts a failure and
    // clears both connection flags.
    int hasError();
    bool isWriteable();
    bool isReadable(int timeoutMS);

    void resetConnectingFlag() { connecting = false; }
    void resetFailureCount() { connectFailures = 0; }
    bool isConnecting() const { return connecting; }
    bool isConnected() const { return connected; }
    bool isActive() const { return active; }
    uint32_t getFailureCount() const { return connectFailures; }
    time_t getLastConnectTime() const { return lastConnectTime; }
    time_t getLastResolveTime() const { return lastResolveTime; }
    const std::string& getDestHost() const { return destHost; }
    const std::string& getDestService() const { return destService; }

    // One blocking send of the whole buffer, without SIGPIPE; the previous
    // blocking mode is restored. A complete send marks the socket connected
    // and clears the failure count. Short counts are the caller's to handle.
    ssize_t sendBlocking(const void* buf, unsigned int len);
    // Sends what the socket takes at once, never waiting and without
    // SIGPIPE: the count taken (0 when it has no room now), or -1 on an error
    // (kept for getLastError). Taking bytes marks the socket connected and
    // clears the failure count.
    ssize_t sendAvailable(const void* buf, size_t len);
    // One blocking receive; data, or a receive time-out, shows the
    // connection alive.
    ssize_t receive(void* buf, unsigned int len);
    // No stream buffer sits over the socket in this system.
    int flush() { return 0; }

    // Closes the descriptor (after a shutdown when `hard`) and clears the
    // connection state and last error; the failure count stays.
    void closeSocket(bool hard);
    // The last error: the resolver's code and text when there is one, else
    // errno's. 0 with an empty text when there is none.
    int getLastError(std::string& text) const;

    // IPv4/IPv6 to numeric text (UNKNOWN_IP_ADDR when that fails); null gives
    // an empty text; other families leave the text unchanged.
    static void addressToString(const sockaddr* sa, std::string& text);
    // Loopback (127/8) or an address of one of the host's interfaces.
    static bool isLocalAddr(const sockaddr* sa);
    static bool isLocalAddr(const addrinfo* list);
    static bool isLocalAddr4(const in_addr* addr);
    static bool isLocalAddr6(const in6_addr* addr);
    static void getLocalIFs();
    static void releaseLocalIFs();

    // Set by construction and the connect/close operations; controller thread only.
    int sockFD = -1;
    SocketAddr localAddr;
    SocketAddr remoteAddr;
    std::string remoteAddrStr;
    std::string destHost;
    std::string destService;
    std::string localIface;
    addrinfo* remoteAddressList = nullptr;  // owned
    time_t lastConnectTime = 0;
    int32_t errNum = 0;
    int32_t gaiErrNum = 0;
    // The resolver's code for the last resolution of host and service, 0
    // when it gave addresses; unlike gaiErrNum, a close keeps it.
    int32_t resolveError = 0;
    uint32_t connectFailures = 0;
    bool connecting = false;
    bool connected = false;
    const bool active;
    int timeout = 0;  // seconds; 0 = none
    time_t lastResolveTime = 0;

    // The host's interfaces, read on the first reference and freed with the
    // last; all three guarded by localIFLock.
    static ifaddrs* localInterfaces;
    static uint32_t localIFRefCount;
    static std::mutex localIFLock;

  private:
    int connectInternal(bool async, time_t t, addrinfo* remoteAddrs);
    bool createSockFD(const addrinfo* entry);
    bool bindInternal();
    void setSysError(int err);
    void closeFD();
    // Sets or clears O_NONBLOCK on sockFD, skipping the system calls when the
    // mode last set is the one asked for; returns whether it was set before.
    bool changeMode(bool nonBlock);

    int nonBlockMode = -1;  // as last set on sockFD: 1 set, 0 clear, -1 unknown
};

// Socket address helpers; nothing in the daemon uses them.
int sockaddrany(const sockaddr* sa);
int sockaddrcmp(const sockaddr* a, const sockaddr* b);
int sockaddrcmpport(const sockaddr* a, const sockaddr* b);
// A bound (not listening) TCP server socket, or a negative value; problems
// are logged to `log` when given.
int server_socket(const char* host, const char* service, Logger* log);
