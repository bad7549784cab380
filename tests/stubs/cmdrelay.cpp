// Stand-in for a command relay (CapqRelay, AdmCmdRelay) that fails in the
// ways a channel must survive. It reads one request per line on standard
// input and answers each on standard output, until end of input.
//
// Environment:
//   CMDRELAY_END    the end line, newline included; by default CapqRelay's
//                   when the program's file name starts with "Capq" (a link
//                   to this stand-in), else AdmCmdRelay's
//   CMDRELAY_REPLY  the reply lines before the end line (default none)
//   CMDRELAY_MODE   how to answer, for every request:
//                     normal    reply, then the end line (the default)
//                     noend     reply, then exit without the end line
//                     endnonl   reply and the end line without its newline, exit
//                     longline  a 3000-byte line, then the end line
//                     endtail   a line of 2047 'x' and the end line's text,
//                               then the real end line
//                     silent    read requests, answer nothing
//                     flood     1000-byte lines without end until the reader goes
//                   The request "hang" gets no answer in any mode.
//   CMDRELAY_LOG    file to which it appends, one line each:
//                     "<pid> start", "<pid> request <request>", "<pid> eof"
//
// Every write is unbuffered, so a reader sees exactly the bytes written.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

bool put(int fd, const std::string& s) {
    const char* p = s.data();
    std::size_t left = s.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void logLine(const std::string& text) {
    const char* file = std::getenv("CMDRELAY_LOG");
    if (file == nullptr) return;
    int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    put(fd, std::to_string(getpid()) + " " + text + "\n");
    close(fd);
}

std::string env(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

}  // namespace

int main(int, char* argv[]) {
    const std::string mode = env("CMDRELAY_MODE", "normal");
    const std::string self = argv[0];
    const bool capq = self.compare(self.rfind('/') + 1, 4, "Capq") == 0;
    const std::string end =
        env("CMDRELAY_END", capq ? "_response_ capqEnd\n" : "_response_ admCmdEnd\n");
    const std::string reply = env("CMDRELAY_REPLY", "");
    logLine("start");

    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const std::string request = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            logLine("request " + request);
            if (mode == "silent" || request == "hang") continue;
            if (mode == "noend") {
                put(1, reply);
                return 0;
            }
            if (mode == "endnonl") {
                put(1, reply + end.substr(0, end.size() - 1));
                return 0;
            }
            if (mode == "flood") {
                const std::string line(999, 'f');
                while (put(1, line + "\n")) {
                }
                return 0;
            }
            if (mode == "longline") {
                put(1, std::string(3000, 'x') + "\n" + end);
            } else if (mode == "endtail") {
                put(1, std::string(2047, 'x') + end + end);
            } else {
                put(1, reply + end);
            }
        }
    }
    logLine("eof");
    return 0;
}
