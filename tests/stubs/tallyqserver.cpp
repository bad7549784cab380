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
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool writeAll(int fd, const char* p, std::size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tallyqserver SOCKETPATH echo|hangup|silent\n");
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
    if (mode != "hangup") {
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
