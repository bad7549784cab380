// Test collector: listens on a loopback TCP port, accepts one exporter
// connection after another and checks every IPFIX message strictly with
// IpfixDecoder, printing one line per message, set and template (and per
// record with -v; none of these with -q). Exits non-zero when any protocol
// error was seen.
//
//   ipfix_collector [-p PORT] [-v] [-q] [-c N] [-s N] [-n N] [-t SECONDS] [-o FILE]
//
// The first line of standard output is "port P", the bound port (also when -o
// sends everything else to a file, where it is the first line too). Every
// closed connection is reported with its totals, the bytes read included, and
// the exit with a summary line; -q keeps those.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>

#include "IpfixDecoder.h"

namespace {

using ipfixtool::IpfixDecoder;

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }

struct Options {
    unsigned port = 0;
    bool verbose = false;
    bool quiet = false;
    uint64_t closeAfter = 0;  // messages per connection, 0 = never
    uint64_t stopAfter = 0;   // messages in total, then read no more, 0 = never
    uint64_t exitAfter = 0;   // messages in total, 0 = never
    double seconds = 0;       // run time limit, 0 = none
    const char* outFile = nullptr;
};

void usage(const char* prog) {
    fprintf(stderr,
            "usage: %s [-p PORT] [-v] [-q] [-c N] [-s N] [-n N] [-t SECONDS] [-o FILE]\n"
            "  -p PORT     loopback port to listen on (0, the default: any free port)\n"
            "  -v          print every record, named after the metadata records\n"
            "  -q          print no message, set, template, record or error lines; every\n"
            "              message is still decoded and the exit status counts its errors\n"
            "  -c N        close each connection after its N-th message\n"
            "  -s N        stop reading (keep connections open) after N messages in all\n"
            "  -n N        exit after N messages in all\n"
            "  -t SECONDS  exit after this time\n"
            "  -o FILE     write the output to FILE instead of standard output\n",
            prog);
}

bool parseCount(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-') return false;
    value = v;
    return true;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

class Collector {
public:
    Collector(const Options& o, std::ostream& out)
        : opt(o), out(out), decoderOut(o.quiet ? &silent : &out) {
        deadline = opt.seconds > 0 ? now() + opt.seconds : 0;
    }

    int run(int listenFd);

private:
    // Milliseconds to wait in one poll; -1 when it is time to stop.
    int pollTimeout() const {
        if (stopSignal) return -1;
        if (!deadline) return 200;
        double left = deadline - now();
        if (left <= 0) return -1;
        return left > 0.2 ? 200 : static_cast<int>(left * 1000) + 1;
    }
    bool exitReached() const { return opt.exitAfter && messages >= opt.exitAfter; }
    // Reads one connection until it closes or an option ends it.
    void serve(int fd, uint32_t connection);
    // Closes fd and prints its totals: messages, records, errors and the
    // bytes read from it.
    void closeConnection(int fd, uint32_t connection, const IpfixDecoder& decoder, const char* why);

    const Options& opt;
    std::ostream& out;
    // Without a buffer a stream discards every insertion before formatting it.
    std::ostream silent{nullptr};
    std::ostream* decoderOut;
    double deadline;
    bool stoppedReading = false;
    bool done = false;
    int heldFd = -1;  // connection kept open, unread, after -s
    uint32_t connections = 0;
    uint64_t messages = 0;
    uint64_t records = 0;
    uint64_t errors = 0;
    uint64_t connectionBytes = 0;  // read from the connection being served
};

void Collector::closeConnection(int fd, uint32_t connection, const IpfixDecoder& decoder,
                                const char* why) {
    close(fd);
    records += decoder.records();
    errors += decoder.errors();
    out << "connection " << connection << " closed (" << why << ") messages=" << decoder.messages()
        << " records=" << decoder.records() << " errors=" << decoder.errors()
        << " bytes=" << connectionBytes << '\n';
}

void Collector::serve(int fd, uint32_t connection) {
    IpfixDecoder decoder(connection, *decoderOut, opt.verbose);
    uint64_t own = 0;
    connectionBytes = 0;
    // With -c, -s or -n the connection is closed or left unread right after
    // a given message, and what the peer then sees must not depend on what
    // else had arrived: nothing past that message is read. Otherwise
    // whatever has arrived is read at once, many messages per read.
    const bool messageByMessage = opt.closeAfter || opt.stopAfter || opt.exitAfter;
    uint8_t buf[65536];
    for (;;) {
        int timeout = pollTimeout();
        if (timeout < 0) {
            done = true;
            closeConnection(fd, connection, decoder, "collector stopped");
            return;
        }
        pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, timeout);
        if (n < 0 && errno != EINTR) {
            out << "ERROR conn=" << connection << ": poll failed: " << strerror(errno) << '\n';
            ++errors;
            done = true;
            closeConnection(fd, connection, decoder, "poll failed");
            return;
        }
        // A quiet connection wakes up only for a batch (see serve's caller),
        // so a poll that ends without one still reads what has come.
        if (n < 0 || (n == 0 && !opt.quiet)) continue;
        ssize_t got = recv(fd, buf, messageByMessage ? decoder.bytesWanted() : sizeof buf,
                           MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            out << "ERROR conn=" << connection << ": read failed: " << strerror(errno) << '\n';
            ++errors;
            decoder.endOfStream();
            closeConnection(fd, connection, decoder, "read failed");
            return;
        }
        if (got == 0) {
            decoder.endOfStream();
            closeConnection(fd, connection, decoder, "by peer");
            return;
        }
        connectionBytes += static_cast<uint64_t>(got);
        for (size_t at = 0; at < static_cast<size_t>(got);) {
            // The decoder takes at most the rest of its current message.
            const size_t take = std::min(static_cast<size_t>(got) - at, decoder.bytesWanted());
            IpfixDecoder::Feed feed = decoder.addBytes(buf + at, static_cast<size_t>(got) - at);
            at += take;
            if (feed == IpfixDecoder::Feed::Broken) {
                closeConnection(fd, connection, decoder, "stream lost");
                return;
            }
            if (feed != IpfixDecoder::Feed::Message) continue;
            ++messages;
            ++own;
            if (exitReached()) {
                done = true;
                closeConnection(fd, connection, decoder, "message limit");
                return;
            }
            if (opt.closeAfter && own >= opt.closeAfter) {
                closeConnection(fd, connection, decoder, "after -c messages");
                return;
            }
            if (opt.stopAfter && messages >= opt.stopAfter) {
                out << "stopped reading after " << messages << " messages\n";
                stoppedReading = true;
                records += decoder.records();
                errors += decoder.errors();
                heldFd = fd;
                return;
            }
        }
    }
}

int Collector::run(int listenFd) {
    while (!done && !stoppedReading) {
        int timeout = pollTimeout();
        if (timeout < 0) break;
        pollfd p = {listenFd, POLLIN, 0};
        int n = poll(&p, 1, timeout);
        if (n <= 0) continue;
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) continue;
        ++connections;
        // Quiet runs measure the exporter: woken for every message, the
        // collector costs more than its decoding, and each wake-up costs the
        // sender too. It is woken once this much has arrived, or the
        // connection ended, or at the latest when its poll times out.
        if (opt.quiet) {
            const int batch = 32768;
            setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &batch, sizeof batch);
        }
        out << "connection " << connections << " open\n";
        serve(fd, connections);
    }
    // A slow collector: hold the connection without reading, and leave new
    // ones waiting in the backlog, until the time limit or a signal.
    while (stoppedReading && pollTimeout() >= 0) poll(nullptr, 0, pollTimeout());
    if (heldFd >= 0) close(heldFd);
    out << "summary connections=" << connections << " messages=" << messages
        << " records=" << records << " errors=" << errors << '\n';
    return errors ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int c;
    while ((c = getopt(argc, argv, "p:vqc:s:n:t:o:h")) != -1) {
        uint64_t v = 0;
        switch (c) {
            case 'p':
                if (!parseCount(optarg, v) || v > 65535) {
                    fprintf(stderr, "invalid port: %s\n", optarg);
                    return 2;
                }
                opt.port = static_cast<unsigned>(v);
                break;
            case 'v':
                opt.verbose = true;
                break;
            case 'q':
                opt.quiet = true;
                break;
            case 'c':
            case 's':
            case 'n':
                if (!parseCount(optarg, v) || v == 0) {
                    fprintf(stderr, "invalid count for -%c: %s\n", c, optarg);
                    return 2;
                }
                (c == 'c' ? opt.closeAfter : c == 's' ? opt.stopAfter : opt.exitAfter) = v;
                break;
            case 't': {
                char* end = nullptr;
                opt.seconds = strtod(optarg, &end);
                if (end == optarg || *end || !(opt.seconds > 0)) {
                    fprintf(stderr, "invalid time: %s\n", optarg);
                    return 2;
                }
                break;
            }
            case 'o':
                opt.outFile = optarg;
                break;
            default:
                usage(argv[0]);
                return 2;
        }
    }
    if (optind != argc) {
        usage(argv[0]);
        return 2;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;  // no SA_RESTART: poll returns at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return 2;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(opt.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        fprintf(stderr, "cannot listen on 127.0.0.1:%u: %s\n", opt.port, strerror(errno));
        return 2;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const unsigned port = ntohs(addr.sin_port);

    std::unique_ptr<std::ofstream> file;
    if (opt.outFile) {
        file.reset(new std::ofstream(opt.outFile, std::ios::out | std::ios::trunc));
        if (!*file) {
            fprintf(stderr, "cannot write %s: %s\n", opt.outFile, strerror(errno));
            return 2;
        }
    }
    std::ostream& out = file ? *file : std::cout;
    // Every line goes out at once: tests and people read the output while it runs.
    out << std::unitbuf;
    if (file) std::cout << "port " << port << std::endl;
    out << "port " << port << '\n';

    Collector collector(opt, out);
    int rc = collector.run(fd);
    close(fd);
    return rc;
}
