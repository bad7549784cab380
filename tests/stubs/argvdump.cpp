// Stand-in for the filesystem's administration tools and for proxy programs.
// Installed by tests under every tool name, it prints what it was asked:
//
//   argc=<n>
//   argv[<i>]=<argument>          one line per argument, bytes as given
//
// then performs the actions listed in the environment variable
// ARGVDUMP_ACTIONS, separated by ',', in order. Every output is an unbuffered
// write, so standard output and standard error reach a shared pipe in exactly
// the order written.
//
//   out:TEXT    TEXT and '\n' on standard output
//   part:TEXT   TEXT alone, no line end, on standard output
//   noterm      ignores SIGTERM from here on
//   selfkill    ends by SIGKILL, as a tool killed mid-line
//   forkhang    starts a child that sleeps for ever in the same process
//               group (it ignores SIGTERM after noterm) and prints
//               "child=<pid>"
//   forkdaemon  the same, but the child leaves the group and session first
//               (as a tool that daemonises), and is announced once it has
//   err:TEXT    TEXT and '\n' on standard error
//   long:N      a line of N bytes ('a' to 'z' repeated) and '\n'
//   bytes       every byte value 0..255, twice, then '\n'
//   stdin       reads standard input to its end, prints "stdin=<bytes read>"
//   sigs        prints "ignored=<signals>" and "blocked=<signals>" (numbers,
//               space-separated; empty when none)
//   fds         prints "fds=<open descriptors above 2>"
//   echo        serves lines from standard input: "reply:<line>" and
//               "_response_ end" for each, until end of input
//   sleep:MS    sleeps MS milliseconds
//   exit:N      ends at once with status N
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "StandIn.h"

namespace {

using StandIn::put;

std::string signalList(bool ignored) {
    std::string out;
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        bool hit;
        if (ignored) {
            struct sigaction sa;
            if (sigaction(sig, nullptr, &sa) != 0) continue;
            hit = sa.sa_handler == SIG_IGN;
        } else {
            hit = sigismember(&mask, sig) == 1;
        }
        if (hit) out += (out.empty() ? "" : " ") + std::to_string(sig);
    }
    return out;
}

void perform(const std::string& action) {
    std::size_t colon = action.find(':');
    std::string verb = action.substr(0, colon);
    std::string arg = colon == std::string::npos ? "" : action.substr(colon + 1);
    if (verb == "out") {
        put(1, arg + "\n");
    } else if (verb == "part") {
        put(1, arg);
    } else if (verb == "noterm") {
        signal(SIGTERM, SIG_IGN);
    } else if (verb == "selfkill") {
        kill(getpid(), SIGKILL);
    } else if (verb == "forkhang" || verb == "forkdaemon") {
        // A daemonising child is announced only once it has left the group,
        // so that whoever ends the group then can no longer reach it.
        int left[2] = {-1, -1};
        if (verb == "forkdaemon" && pipe(left) != 0) _exit(2);
        const pid_t child = fork();
        if (child == 0) {
            if (verb == "forkdaemon") {
                setsid();
                close(left[0]);
                close(left[1]);
            }
            for (;;) pause();
        }
        if (verb == "forkdaemon") {
            close(left[1]);
            char c;
            while (read(left[0], &c, 1) < 0 && errno == EINTR) {
            }
            close(left[0]);
        }
        put(1, "child=" + std::to_string(child) + "\n");
    } else if (verb == "err") {
        put(2, arg + "\n");
    } else if (verb == "long") {
        std::string line;
        long n = std::atol(arg.c_str());
        for (long i = 0; i < n; ++i) line += static_cast<char>('a' + i % 26);
        put(1, line + "\n");
    } else if (verb == "bytes") {
        std::string all;
        for (int round = 0; round < 2; ++round) {
            for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
        }
        put(1, all + "\n");
    } else if (verb == "stdin") {
        long total = 0;
        char buf[4096];
        ssize_t n;
        while ((n = read(0, buf, sizeof buf)) > 0) total += n;
        put(1, "stdin=" + std::to_string(total) + "\n");
    } else if (verb == "sigs") {
        put(1, "ignored=" + signalList(true) + "\n");
        put(1, "blocked=" + signalList(false) + "\n");
    } else if (verb == "fds") {
        put(1, "fds=" + StandIn::openFds(" ") + "\n");
    } else if (verb == "echo") {
        StandIn::forEachLine(0, [](const std::string& line) {
            put(1, "reply:" + line + "\n_response_ end\n");
            return true;
        });
    } else if (verb == "sleep") {
        StandIn::pauseMs(std::atol(arg.c_str()));
    } else if (verb == "exit") {
        _exit(std::atoi(arg.c_str()));
    } else {
        put(2, "argvdump: unknown action " + action + "\n");
        _exit(2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    put(1, "argc=" + std::to_string(argc) + "\n");
    for (int i = 0; i < argc; ++i) put(1, "argv[" + std::to_string(i) + "]=" + argv[i] + "\n");
    const char* actions = std::getenv("ARGVDUMP_ACTIONS");
    if (actions == nullptr) return 0;
    std::string list = actions;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) perform(list.substr(start, comma - start));
        start = comma + 1;
    }
    return 0;
}
