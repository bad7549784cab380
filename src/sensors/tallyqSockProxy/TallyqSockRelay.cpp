// TallyqSockRelay: relays bytes between its standard streams and the
// filesystem's statistics socket for the daemon's statistics channel.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "PlatformPaths.h"
#include "SockRelay.h"

int main() {
    // A reader that has gone away must end a direction through a failed
    // write, not kill the relay in the middle of a copy.
    signal(SIGPIPE, SIG_IGN);
    std::string message;
    int sock = SockRelay::connectSocket(Platform::path(SockRelay::tallyqSocketPath), message);
    if (sock < 0) {
        std::fputs(message.c_str(), stdout);
        return -1;
    }
    int rc = SockRelay::relayStreams(0, 1, sock);
    std::fflush(stdout);  // holds Thread's report of a failed start, if any
    // Every relayed byte went out with unbuffered writes; end without exit handlers.
    _exit(rc == 0 ? 0 : 255);
}
