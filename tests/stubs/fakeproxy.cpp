// Stand-in for a generic proxy program. It serves one request per line on
// standard input until end of input and answers on standard output in the
// proxy reply format. Controlled by its arguments:
//
//   --log=FILE    appends what happens to FILE, one line each, prefixed with
//                 the pid: "<pid> start", "<pid> argv <i> <argument>",
//                 "<pid> request <line>", "<pid> eof"
//   --dir=DIR     the reply to a request whose first word is W is the
//                 content of DIR/W.reply, written unchanged, when that exists
//   --exit-after=N  ends after answering N requests, but only the first
//                 instance that logs to the same FILE (the one that finds
//                 no "exit" line in it)
//   --spawn[=deaf]  at start, starts a child that sleeps for ever in the
//                 proxy's process group, holding its output, and logs
//                 "<pid> spawned <child pid>"; "=deaf": a child that also
//                 ignores SIGTERM
//   anything else is only logged
//
// Request words with built-in behaviour (when no reply file overrides them):
//   noend         the start of a reply without its end line, then exit
//   exit          exit at once, writing nothing
//   stderr        one line on standard error, then the default reply
//   pause MS      sleep MS milliseconds, then the default reply
//   notsupported  an "_error_ ... [NOTSUPPORTED]" reply
//   twice         the default reply twice, in one write (a surplus answer)
//   closeout      close standard output and error, keep serving input
//   hang          the first line of a reply, then sleep for ever without
//                 reading input
//   spawn         starts a child that sleeps for ever in the proxy's process
//                 group, logs "<pid> spawned <child pid>", then the default
//                 reply; "spawn deaf": a child that also ignores SIGTERM
//   die           the first line of a reply, then killed by SIGKILL
//   env           the default reply with "sigpipe", "sigchld" (1 when the
//                 signal is ignored) and "fds" (open descriptors above 2)
// Any other word gets the default reply:
//   _response_ begin
//   _key_ node:- sensor:- item:<word>
//   _val_ pid:<pid> count:<requests so far>
//   _response_ end
// Every output is an unbuffered write.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "StandIn.h"

namespace {

std::string logFile;
std::string replyDir;
unsigned exitAfter = 0;  // 0: never

using StandIn::put;

void note(const std::string& what) { StandIn::logLine(logFile.c_str(), what); }

bool readFile(const std::string& path, std::string& out) {
    bool found = false;
    out = StandIn::fileText(path, found);
    return found;
}

// "1" when sig is ignored, else "0".
std::string ignored(int sig) { return StandIn::disposition(sig) == "ign" ? "1" : "0"; }

bool alreadyExited() {
    std::string text;
    return !logFile.empty() && readFile(logFile, text) && text.find(" exit\n") != std::string::npos;
}

std::string defaultReply(const std::string& word, unsigned count, const std::string& extra) {
    return "_response_ begin\n_key_ node:- sensor:- item:" + word +
           "\n_val_ pid:" + std::to_string(getpid()) + " count:" + std::to_string(count) + extra +
           "\n_response_ end\n";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--log=", 6) == 0) logFile = argv[i] + 6;
        if (std::strncmp(argv[i], "--dir=", 6) == 0) replyDir = argv[i] + 6;
        if (std::strncmp(argv[i], "--exit-after=", 13) == 0) {
            exitAfter = static_cast<unsigned>(std::atoi(argv[i] + 13));
        }
    }
    note("start");
    for (int i = 0; i < argc; ++i) note("argv " + std::to_string(i) + " " + argv[i]);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--spawn", 7) != 0) continue;
        const pid_t child = fork();
        if (child == 0) {
            if (std::strcmp(argv[i], "--spawn=deaf") == 0) signal(SIGTERM, SIG_IGN);
            for (;;) pause();
        }
        note("spawned " + std::to_string(child));
    }

    bool outClosed = false;
    unsigned count = 0;
    StandIn::serveRequests(logFile.c_str(), [&](const std::string& line) {
        ++count;
        std::string word = line.substr(0, line.find(' '));
        std::string arg =
            line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);

        std::string reply;
        if (!replyDir.empty() && readFile(replyDir + "/" + word + ".reply", reply)) {
            put(1, reply);
        } else if (word == "noend") {
            put(1, "_response_ begin\n_key_ node:- sensor:- item:noend\n_val_ count:1\n");
            return false;
        } else if (word == "exit") {
            return false;
        } else if (word == "stderr") {
            put(2, "complaint on stderr\n");
            put(1, defaultReply(word, count, ""));
        } else if (word == "pause") {
            StandIn::pauseMs(std::atol(arg.c_str()));
            put(1, defaultReply(word, count, ""));
        } else if (word == "twice") {
            put(1, defaultReply(word, count, "") + defaultReply(word, count, ""));
        } else if (word == "notsupported") {
            put(1, "_response_ begin\n_error_ not here [NOTSUPPORTED]\n_response_ end\n");
        } else if (word == "hang") {
            put(1, "_response_ begin\n");
            for (;;) pause();
        } else if (word == "die") {
            put(1, "_response_ begin\n");
            kill(getpid(), SIGKILL);
        } else if (word == "spawn") {
            const pid_t child = fork();
            if (child == 0) {
                if (arg == "deaf") signal(SIGTERM, SIG_IGN);
                for (;;) pause();
            }
            note("spawned " + std::to_string(child));
            put(1, defaultReply(word, count, ""));
        } else if (word == "closeout") {
            if (!outClosed) {
                close(1);
                close(2);
                outClosed = true;
            }
        } else if (word == "env") {
            int fds = -1;
            StandIn::openFds(",", &fds);
            put(1, defaultReply(word, count,
                                " sigpipe:" + ignored(SIGPIPE) + " sigchld:" + ignored(SIGCHLD) +
                                    " fds:" + std::to_string(fds)));
        } else {
            put(1, defaultReply(word, count, ""));
        }
        if (exitAfter != 0 && count >= exitAfter && !alreadyExited()) {
            note("exit");
            return false;
        }
        return true;
    });
    return 0;
}
