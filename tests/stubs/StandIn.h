// The stand-in side of the harness: what every relay, proxy and tool
// stand-in of this directory does the same way. Unbuffered writes, so a
// reader sees exactly the bytes and order written; request lines read and
// handed out one by one; canned replies from files; pid-prefixed log lines
// that the tests read back. Header-only and free of the project's own
// libraries, since the stand-ins stand for outside programs; each stand-in
// is single-threaded and keeps its own options, texts and log format.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace StandIn {

// Writes all of s to fd; false when a write fails.
inline bool put(int fd, const std::string& s) {
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

// Appends line and '\n' to the file at path, in one write.
inline void appendLine(const char* path, const std::string& line) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    put(fd, line + "\n");
    close(fd);
}

// Appends "<pid> text" to the log file; nothing without one (null or empty).
inline void logLine(const char* file, const std::string& text) {
    if (file != nullptr && *file != '\0') appendLine(file, std::to_string(getpid()) + " " + text);
}

// The whole content of the file at path; found says whether it could be opened.
inline std::string fileText(const std::string& path, bool& found) {
    std::ifstream in(path, std::ios::binary);
    found = in.is_open();
    std::ostringstream text;
    if (found) text << in.rdbuf();
    return text.str();
}

// The canned reply to request in dir (the file <request>.reply), or fallback
// when there is none.
inline std::string cannedReply(const std::string& dir, const std::string& request,
                               const std::string& fallback) {
    bool found = false;
    const std::string text = fileText(dir + "/" + request + ".reply", found);
    return found ? text : fallback;
}

inline void pauseMs(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// "ign" when sig is ignored, else "dfl".
inline std::string disposition(int sig) {
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) return "?";
    return sa.sa_handler == SIG_IGN ? "ign" : "dfl";
}

// The open descriptors above 2 joined by sep ("?" when they cannot be
// listed); count receives how many there are.
inline std::string openFds(const char* sep, int* count = nullptr) {
    std::string out;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return "?";
    const int self = dirfd(d);
    int n = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const int fd = std::atoi(e->d_name);
        if (fd <= 2 || fd == self) continue;
        out += (out.empty() ? "" : sep) + std::string(e->d_name);
        ++n;
    }
    closedir(d);
    if (count != nullptr) *count = n;
    return out;
}

// What a child inherited that a careful parent resets: the start line of the
// relay stand-ins' logs.
inline std::string startReport() {
    return "start sigpipe=" + disposition(SIGPIPE) + " sigchld=" + disposition(SIGCHLD) +
           " fds=" + openFds(",");
}

// Reads lines from fd until its end and hands each, without its '\n', to
// onLine, which returns false to stop at once. A last line without '\n' is
// dropped. Returns whether the input ended; bytes, when given, counts what
// was read.
template <typename OnLine>
bool forEachLine(int fd, OnLine onLine, long long* bytes = nullptr) {
    std::string pending;
    char buf[8192];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return true;
        if (bytes != nullptr) *bytes += n;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!onLine(line)) return false;
        }
    }
}

// Serves request lines on standard input as the relays do: logs each as
// "request <line>" before answer sees it and "eof" once the input ends.
// Returns false when answer stopped the serving.
template <typename Answer>
bool serveRequests(const char* logFile, Answer answer) {
    const bool ended = forEachLine(0, [&](const std::string& request) {
        logLine(logFile, "request " + request);
        return answer(request);
    });
    if (ended) logLine(logFile, "eof");
    return ended;
}

}  // namespace StandIn
