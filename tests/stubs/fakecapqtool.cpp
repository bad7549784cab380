// Stand-in for the filesystem's listing tools run by CapqRelay (peekreg,
// iqstatus, iqdf, iqlsfileset, iqlspool34, iqrepquota, throtl, iqlsqos).
// Installed under every tool name, it picks its answer by the name it was
// run under and its arguments:
//
//   key = basename(argv[0]) followed by each argument after a blank,
//         for instance "iqdf c1:fs1 -Y"
//
// In the directory FAKECAPQ_DIR it prints the file "<key>.out" to standard
// output (nothing when there is none), "<key>.err" to standard error, sleeps
// the milliseconds in "<key>.sleep" first, and exits with the number in
// "<key>.exit" (0 without one). Before anything else it appends the key and a
// newline to the file FAKECAPQ_LOG when that is set, in one write.
//
// To stand for a hung tool with children: with "<key>.fork" present it forks
// once before the sleep, and both processes sleep; with "<key>.noterm" both
// ignore SIGTERM; and each appends its pid and a newline to the file
// FAKECAPQ_PIDS when that is set. With "<key>.flood" present it writes that
// file's text over and over instead of "<key>.out", until a write fails.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readFile(const std::string& path, bool& found) {
    std::ifstream in(path, std::ios::binary);
    found = in.is_open();
    std::stringstream text;
    if (found) text << in.rdbuf();
    return text.str();
}

void put(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void appendLine(const char* path, const std::string& line) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    put(fd, line + "\n");
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    std::string key = argv[0];
    const std::string::size_type slash = key.rfind('/');
    if (slash != std::string::npos) key.erase(0, slash + 1);
    for (int i = 1; i < argc; ++i) key += std::string(" ") + argv[i];

    if (const char* log = std::getenv("FAKECAPQ_LOG")) appendLine(log, key);
    const char* dir = std::getenv("FAKECAPQ_DIR");
    const std::string base = std::string(dir ? dir : ".") + "/" + key;
    bool found = false;
    readFile(base + ".noterm", found);
    if (found) signal(SIGTERM, SIG_IGN);
    readFile(base + ".fork", found);
    if (found) fork();
    if (const char* pids = std::getenv("FAKECAPQ_PIDS")) appendLine(pids, std::to_string(getpid()));
    const std::string sleepMs = readFile(base + ".sleep", found);
    if (found) {
        const long ms = std::strtol(sleepMs.c_str(), nullptr, 10);
        struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    const std::string flood = readFile(base + ".flood", found);
    if (found && !flood.empty()) {
        std::string block;
        while (block.size() < 4096) block += flood;
        while (write(1, block.data(), block.size()) > 0) {
        }
        return 1;
    }
    const std::string out = readFile(base + ".out", found);
    put(1, out);
    const std::string err = readFile(base + ".err", found);
    put(2, err);
    const std::string code = readFile(base + ".exit", found);
    return found ? std::atoi(code.c_str()) : 0;
}
