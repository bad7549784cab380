// Stand-in for TallyqSockRelay and the statistics facility behind it. It
// writes a greeting, then answers each request line on standard input with
// one reply on standard output, until end of input.
//
// Environment:
//   TALLYQRELAY_GREETING  event (the default), resp, none, or exit (ends at
//                         once, before any output); a comma-separated list
//                         gives the n-th start the n-th entry (the last one
//                         repeats; starts are counted in TALLYQRELAY_LOG)
//   TALLYQRELAY_DIR       directory of reply files: the reply to request R is
//                         the file R.reply, sent as it is. Without a file the
//                         reply is "_response_ begin R", one record
//                         "_tallyq::r _rc_ 0 _req_ N" and "_response_ end",
//                         N being R with its blanks made "-" (so that
//                         "tallyq vfss" is answered as the facility names it)
//   TALLYQRELAY_LOG       file to which it appends, one line each:
//                           "<pid> start sigpipe=<dfl|ign> sigchld=<dfl|ign> fds=<fds above 2>
//                           t=<ms>"
//                         (t: the monotonic clock in milliseconds)
//                           "<pid> request <request>"
//                           "<pid> replied <request>"
//                           "<pid> eof"
//
// Directives: words of the form @name or @name=N anywhere in a request shape
// that one answer and are not part of the request:
//   @delay=MS    wait before answering
//   @close       close standard output instead of answering, then wait for
//                end of input
//   @exit        exit at once without answering
//   @events=N    N event lines, each in its own write, before the reply
//   @together    an event and the reply in one write
//   @flood       event lines until the reader goes away
//   @bytewise    the reply one byte per write, with DELAY ms between
//                (@bytewise=DELAY, default 0)
//   @garbage     a reply whose second line has an unknown first token
//   @rc=V        the built-in reply with "_rc_ V"
//   @cut         only the opening line of the reply
//   @dup         the reply twice in one write; @dup=MS the second copy MS
//                milliseconds after the first
//   @first=NAME  the reply file NAME.reply before the reply (another
//                request's reply arriving late)
//
// Every write is unbuffered, so a reader sees exactly the bytes and order
// written.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "StandIn.h"

namespace {

using StandIn::pauseMs;
using StandIn::put;

void logLine(const std::string& text) { StandIn::logLine(std::getenv("TALLYQRELAY_LOG"), text); }

const std::string EVENT = "_event_ ev _seq_ 1\n";

std::string replyFor(const std::string& request, const std::string& rc) {
    const char* dir = std::getenv("TALLYQRELAY_DIR");
    std::string name = request;
    for (char& c : name) {
        if (c == ' ' || c == '\t') c = '-';
    }
    const std::string builtIn = "_response_ begin " + request + "\n_tallyq::r _rc_ " +
                                (rc.empty() ? "0" : rc) + " _req_ " + name + "\n_response_ end\n";
    return dir != nullptr && rc.empty() ? StandIn::cannedReply(dir, request, builtIn) : builtIn;
}

// Sends the file at path piece by piece as it is read; false when there is
// none. A reply file of many megabytes read whole first would keep the
// reader waiting long enough, on a loaded machine, to end the reply as idle.
bool streamFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    std::string piece(64 * 1024, '\0');
    while (in.read(&piece[0], static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
        if (!put(1, piece.substr(0, static_cast<std::size_t>(in.gcount())))) break;
    }
    return true;
}

// Answers one request line; false when the relay is to stop reading.
bool answer(const std::string& line) {
    std::map<std::string, std::string> dirs;
    std::istringstream in(line);
    std::string word;
    std::string request;
    while (in >> word) {
        if (word[0] == '@') {
            const std::size_t eq = word.find('=');
            dirs[word.substr(1, eq == std::string::npos ? eq : eq - 1)] =
                eq == std::string::npos ? "" : word.substr(eq + 1);
        } else {
            request += (request.empty() ? "" : " ") + word;
        }
    }
    if (dirs.count("delay")) pauseMs(std::atol(dirs["delay"].c_str()));
    if (dirs.count("exit")) _exit(0);
    if (dirs.count("close")) {
        close(1);
        return true;
    }
    const char* dir = std::getenv("TALLYQRELAY_DIR");
    if (dirs.empty() && dir != nullptr && streamFile(std::string(dir) + "/" + request + ".reply")) {
        logLine("replied " + line);
        return true;
    }
    const std::string reply = replyFor(request, dirs.count("rc") ? dirs["rc"] : "");
    if (dirs.count("flood")) {
        std::string block;
        for (int i = 0; i < 64; ++i) block += EVENT;
        while (put(1, block)) {
        }
        return false;
    }
    if (dirs.count("events")) {
        for (long i = std::atol(dirs["events"].c_str()); i > 0; --i) put(1, EVENT);
    }
    if (dirs.count("first") && dir != nullptr) put(1, StandIn::cannedReply(dir, dirs["first"], ""));
    if (dirs.count("garbage")) {
        put(1, "_response_ begin tallyq x\nno-such-token here\n_response_ end\n");
    } else if (dirs.count("cut")) {
        put(1, reply.substr(0, reply.find('\n') + 1));
    } else if (dirs.count("dup")) {
        if (dirs["dup"].empty()) {
            put(1, reply + reply);
        } else {
            put(1, reply);
            pauseMs(std::atol(dirs["dup"].c_str()));
            put(1, reply);
        }
    } else if (dirs.count("together")) {
        put(1, EVENT + reply);
    } else if (dirs.count("bytewise")) {
        const long gap = std::atol(dirs["bytewise"].c_str());
        for (char c : reply) {
            if (!put(1, std::string(1, c))) break;
            if (gap > 0) pauseMs(gap);
        }
    } else {
        put(1, reply);
    }
    logLine("replied " + line);
    return true;
}

}  // namespace

int main() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    logLine(StandIn::startReport() +
            " t=" + std::to_string(now.tv_sec * 1000LL + now.tv_nsec / 1000000));
    const char* greetingEnv = std::getenv("TALLYQRELAY_GREETING");
    std::string greeting = greetingEnv ? greetingEnv : "event";
    if (greeting.find(',') != std::string::npos) {
        const char* file = std::getenv("TALLYQRELAY_LOG");
        std::ifstream in(file ? file : "");
        std::size_t starts = 0;  // this start's own line included
        for (std::string l; std::getline(in, l);) starts += l.find(" start ") != std::string::npos;
        std::istringstream list(greeting);
        std::vector<std::string> entries;
        for (std::string e; std::getline(list, e, ',');) entries.push_back(e);
        greeting = entries[std::min(starts, entries.size()) - (starts > 0 ? 1 : 0)];
    }
    if (greeting == "exit") return 0;
    if (greeting == "event") put(1, "_event_ hello _version_ 1\n");
    if (greeting == "resp") put(1, "_response_ begin tallyq hello\n_response_ end\n");

    StandIn::serveRequests(std::getenv("TALLYQRELAY_LOG"), answer);
    return 0;
}
