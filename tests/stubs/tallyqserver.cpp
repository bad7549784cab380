// Stand-in for the filesystem's statistics facility: a UNIX stream socket
// server that accepts one connection.
//
//   tallyqserver SOCKETPATH MODE
//
// It binds SOCKETPATH, prints "ready" and a line end on standard output once
// it listens, serves one client and then prints "received=<bytes>" (bytes
// read from the client before its end) on standard output and exits 0.
// MODE:
//   echo     writes back every byte it reads, until the client ends
//   hangup   closes the connection at once
//   silent   reads and discards until the client ends; never writes
//   script   plays the statistics facility: an event greeting on accept,
//            then one reply per request line. With a third argument DIR,
//            the greeting is the file DIR/greeting and the reply to request
//            R the file DIR/R.reply, when they exist; otherwise the reply is
//            "_response_ begin R", "_tallyq::r _rc_ 0" and "_response_ end"
//            (so that "tallyq vfss" is answered as the facility names it).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "StandIn.h"

namespace {

bool writeAll(int fd, const char* p, std::size_t len) {
    return StandIn::put(fd, std::string(p, len));
}

// The contents of path, or fallback when it cannot be read.
std::string fileOr(const std::string& path, const std::string& fallback) {
    bool found = false;
    const std::string text = StandIn::fileText(path, found);
    return found ? text : fallback;
}

// Answers request lines until the client ends; returns the bytes read.
long long playScript(int c, const std::string& dir) {
    const std::string greeting =
        fileOr(dir.empty() ? "" : dir + "/greeting", "_event_ hello _version_ 1\n");
    if (!writeAll(c, greeting.data(), greeting.size())) return 0;
    long long received = 0;
    StandIn::forEachLine(
        c,
        [&](const std::string& request) {
            const std::string reply =
                fileOr(dir.empty() ? "" : dir + "/" + request + ".reply",
                       "_response_ begin " + request + "\n_tallyq::r _rc_ 0\n_response_ end\n");
            return writeAll(c, reply.data(), reply.size());
        },
        &received);
    return received;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 4 && std::string(argv[2]) == "script")) {
        std::fprintf(stderr, "usage: tallyqserver SOCKETPATH echo|hangup|silent|script [DIR]\n");
        return 2;
    }
    std::string path = argv[1];
    std::string mode = argv[2];
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "tallyqserver: socket path too long\n");
        return 2;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int ls = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(path.c_str());
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(ls, 1) != 0) {
        std::perror("tallyqserver");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int c = accept(ls, nullptr, nullptr);
    close(ls);
    unlink(path.c_str());
    if (c < 0) {
        std::perror("tallyqserver: accept");
        return 2;
    }
    long long received = 0;
    if (mode == "script") {
        received = playScript(c, argc == 4 ? argv[3] : "");
    } else if (mode != "hangup") {
        char buf[8192];
        ssize_t n;
        while ((n = read(c, buf, sizeof buf)) > 0) {
            received += n;
            if (mode == "echo" && !writeAll(c, buf, static_cast<std::size_t>(n))) break;
        }
    }
    close(c);
    std::printf("received=%lld\n", received);
    return 0;
}
