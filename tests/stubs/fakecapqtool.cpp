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
// ignore SIGTERM; with "<key>.close" both close their standard output and
// error before the sleep (a tool that ends its output and then hangs); and
// each appends its pid and a newline to the file FAKECAPQ_PIDS when that is
// set, after the close; with "<key>.stay" only the child sleeps, and the tool
// logs both pids and ends, leaving it behind; with "<key>.detach" the child
// leaves the group and session before the tool goes on (a daemon). With
// "<key>.flood" present it writes that file's text over and over instead of
// "<key>.out", until a write fails.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "StandIn.h"

using StandIn::put;

int main(int argc, char** argv) {
    std::string key = argv[0];
    const std::string::size_type slash = key.rfind('/');
    if (slash != std::string::npos) key.erase(0, slash + 1);
    for (int i = 1; i < argc; ++i) key += std::string(" ") + argv[i];

    if (const char* log = std::getenv("FAKECAPQ_LOG")) StandIn::appendLine(log, key);
    const char* dir = std::getenv("FAKECAPQ_DIR");
    const std::string base = std::string(dir ? dir : ".") + "/" + key;
    bool found = false;
    StandIn::fileText(base + ".noterm", found);
    if (found) signal(SIGTERM, SIG_IGN);
    StandIn::fileText(base + ".fork", found);
    bool detach = false;
    StandIn::fileText(base + ".detach", detach);
    int left[2] = {-1, -1};
    if (found && detach && pipe(left) != 0) return 2;
    const pid_t forked = found ? fork() : -1;
    if (detach && forked == 0) {
        setsid();
        close(left[0]);
        close(left[1]);
    } else if (detach && forked > 0) {
        // Goes on only once the child is out of the group that ends with it.
        close(left[1]);
        char c;
        while (read(left[0], &c, 1) < 0 && errno == EINTR) {
        }
        close(left[0]);
    }
    StandIn::fileText(base + ".close", found);
    if (found) {
        close(1);
        close(2);
    }
    bool stays = false;
    StandIn::fileText(base + ".stay", stays);
    if (const char* pids = std::getenv("FAKECAPQ_PIDS")) {
        // The child left behind may be ended before it could log itself.
        if (stays && forked > 0) {
            StandIn::appendLine(pids, std::to_string(getpid()) + "\n" + std::to_string(forked));
        } else if (!(stays && forked == 0)) {
            StandIn::appendLine(pids, std::to_string(getpid()));
        }
    }
    const std::string sleepMs = StandIn::fileText(base + ".sleep", found);
    if (found && !(stays && forked > 0)) {
        StandIn::pauseMs(std::strtol(sleepMs.c_str(), nullptr, 10));
    }
    const std::string flood = StandIn::fileText(base + ".flood", found);
    if (found && !flood.empty()) {
        std::string block;
        while (block.size() < 4096) block += flood;
        while (write(1, block.data(), block.size()) > 0) {
        }
        return 1;
    }
    const std::string out = StandIn::fileText(base + ".out", found);
    put(1, out);
    const std::string err = StandIn::fileText(base + ".err", found);
    put(2, err);
    const std::string code = StandIn::fileText(base + ".exit", found);
    return found ? std::atoi(code.c_str()) : 0;
}
