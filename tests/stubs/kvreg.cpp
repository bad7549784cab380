// Stand-in for the configuration repository's query tool, installed by tests
// as /usr/vnx/qorm/bin/kvreg under a platform root. It answers from its
// environment:
//
//   KVREG_REPLY    written to standard output as it stands (no newline added)
//   KVREG_ERROR    written to standard error, before the reply
//   KVREG_LOG      file to which it appends one line per call: its arguments
//                  after the program name, each followed by '|'
//   KVREG_EXIT     exit status (default 0)
//   KVREG_LEAVE    file to which it appends the pid of a child it leaves
//                  behind first, which ignores SIGTERM and holds the output
//                  open
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "StandIn.h"

int main(int argc, char* argv[]) {
    if (const char* log = std::getenv("KVREG_LOG")) {
        if (FILE* f = std::fopen(log, "a")) {
            for (int i = 1; i < argc; ++i) std::fprintf(f, "%s|", argv[i]);
            std::fputc('\n', f);
            std::fclose(f);
        }
    }
    if (const char* pids = std::getenv("KVREG_LEAVE")) {
        const pid_t child = fork();
        if (child == 0) {
            signal(SIGTERM, SIG_IGN);
            for (;;) pause();
        }
        if (child > 0) StandIn::appendLine(pids, std::to_string(child));
    }
    if (const char* err = std::getenv("KVREG_ERROR")) StandIn::put(2, err);
    if (const char* reply = std::getenv("KVREG_REPLY")) StandIn::put(1, reply);
    const char* status = std::getenv("KVREG_EXIT");
    return status ? std::atoi(status) : 0;
}
