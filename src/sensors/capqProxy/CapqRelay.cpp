// CapqRelay: runs the filesystem's capacity, pool, fileset, quota and QoS
// listing tools for the daemon, one request line at a time.
#include <signal.h>

#include "CapqDispatch.h"
#include "CommandRelay.h"
#include "PlatformPaths.h"

int main() {
    // The daemon ignores SIGCHLD and an ignored SIGCHLD is inherited; the relay
    // must wait for its tool children itself.
    signal(SIGCHLD, SIG_DFL);
    // A daemon that has gone must not kill the relay in the middle of a copy:
    // it would leave its tool running. The relay notices the end of its input.
    signal(SIGPIPE, SIG_IGN);
    return CommandRelay::runCommandRelay(
        Capq::dispatchTable(), Platform::path(CommandRelay::toolDirectory), Capq::endMarker, 0, 1);
}
