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
//                     twice     "req:<request>" and the end line, twice in one write
//                     flood     1000-byte lines without end until the reader goes
//                   The request "hang" gets no answer in any mode.
//   CMDRELAY_LOG    file to which it appends, one line each:
//                     "<pid> start", "<pid> request <request>", "<pid> eof"
//
// Every write is unbuffered, so a reader sees exactly the bytes written.
#include <cstdlib>
#include <string>

#include "StandIn.h"

namespace {

using StandIn::put;

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
    const char* log = std::getenv("CMDRELAY_LOG");
    StandIn::logLine(log, "start");

    StandIn::serveRequests(log, [&](const std::string& request) {
        if (mode == "silent" || request == "hang") return true;
        if (mode == "noend") {
            put(1, reply);
            return false;
        }
        if (mode == "endnonl") {
            put(1, reply + end.substr(0, end.size() - 1));
            return false;
        }
        if (mode == "flood") {
            const std::string line(999, 'f');
            while (put(1, line + "\n")) {
            }
            return false;
        }
        if (mode == "twice") {
            const std::string answer = "req:" + request + "\n" + end;
            put(1, answer + answer);
            return true;
        }
        if (mode == "longline") {
            put(1, std::string(3000, 'x') + "\n" + end);
        } else if (mode == "endtail") {
            put(1, std::string(2047, 'x') + end + end);
        } else {
            put(1, reply + end);
        }
        return true;
    });
    return 0;
}
