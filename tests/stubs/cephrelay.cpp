// Stand-in for the Ceph relay. It reads one request per line on standard
// input and answers on standard output with the reply for that request
// followed by the end line ".", until end of input.
//
// Environment:
//   CEPHRELAY_DIR   directory of reply files: the reply to request R is the
//                   file R.reply, sent as it is. Without one, "cluster" and
//                   "pool" get two built-in records each and any other request
//                   an empty reply.
//   CEPHRELAY_MODE  how to answer, for every request:
//                     normal   reply, then ".\n" (the default)
//                     trickle  the same, one byte per write with a short pause,
//                              so the reader sees the end line split over reads
//                     silent   read requests, answer nothing
//                     noend    reply without the end line, then exit
//                     flood    lines without end until the reader goes away
//                     exit     exit at once, before reading anything
//                     twice    every reply and its end line twice, in one write
//                     die      the reply's first line, then killed by SIGKILL
//   CEPHRELAY_SPAWN when set, at start the relay starts a child that sleeps
//                   for ever in its process group and logs
//                   "<pid> spawned <child pid>"; set to "deaf", the child
//                   also ignores SIGTERM
//   CEPHRELAY_LOG   file to which it appends, one line each:
//                     "<pid> start sigpipe=<dfl|ign> sigchld=<dfl|ign> fds=<open fds above 2>"
//                     "<pid> request <request>"
//                     "<pid> eof"
//
// Every write is unbuffered, so a reader sees exactly the bytes and order
// written.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "StandIn.h"

namespace {

const char* const CLUSTER_REPLY =
    "cluster_name:c1,kb:100,kb_used:40,kb_avail:60,num_objects:7\n"
    "cluster_name:c2,kb:200,kb_used:80,kb_avail:120,num_objects:14\n";

const char* const POOL_REPLY =
    "cluster_name:c1,pool_name:rbd,num_bytes:4096,num_kb:4,num_objects:1,"
    "num_object_clones:0,num_object_copies:3,num_objects_missing_on_primary:0,"
    "num_objects_unfound:0,num_objects_degraded:0,num_rd:10,num_rd_kb:20,num_wr:30,num_wr_kb:40\n"
    "cluster_name:c1,pool_name:data,num_bytes:8192,num_kb:8,num_objects:2,"
    "num_object_clones:1,num_object_copies:6,num_objects_missing_on_primary:0,"
    "num_objects_unfound:0,num_objects_degraded:1,num_rd:11,num_rd_kb:21,num_wr:31,num_wr_kb:41\n";

std::string replyFor(const std::string& request) {
    const char* dir = std::getenv("CEPHRELAY_DIR");
    if (dir != nullptr) return StandIn::cannedReply(dir, request, "");
    if (request == "cluster") return CLUSTER_REPLY;
    if (request == "pool") return POOL_REPLY;
    return "";
}

void trickle(const std::string& text) {
    for (char c : text) {
        if (!StandIn::put(1, std::string(1, c))) return;
        struct timespec ts = {0, 200 * 1000};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

int main() {
    const char* modeEnv = std::getenv("CEPHRELAY_MODE");
    const std::string mode = modeEnv ? modeEnv : "normal";
    const char* log = std::getenv("CEPHRELAY_LOG");
    StandIn::logLine(log, StandIn::startReport());
    if (mode == "exit") return 0;
    const char* spawn = std::getenv("CEPHRELAY_SPAWN");
    if (spawn != nullptr) {
        const pid_t child = fork();
        if (child == 0) {
            if (std::string(spawn) == "deaf") signal(SIGTERM, SIG_IGN);
            for (;;) pause();
        }
        StandIn::logLine(log, "spawned " + std::to_string(child));
    }

    StandIn::serveRequests(log, [&](const std::string& request) {
        const std::string reply = replyFor(request);
        if (mode == "silent") return true;
        if (mode == "noend") {
            StandIn::put(1, reply);
            return false;
        }
        if (mode == "die") {
            StandIn::put(1, reply.substr(0, reply.find('\n') + 1));
            kill(getpid(), SIGKILL);
        }
        if (mode == "flood") {
            while (StandIn::put(1, std::string(1000, 'x') + "\n")) {
            }
            return false;
        }
        if (mode == "twice") {
            StandIn::put(1, reply + ".\n" + reply + ".\n");
        } else if (mode == "trickle") {
            trickle(reply + ".\n");
        } else {
            StandIn::put(1, reply + ".\n");
        }
        return true;
    });
    return 0;
}
