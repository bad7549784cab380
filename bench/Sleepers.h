// Extra processes for the process-table benchmarks: children forked before
// the timed loop that sleep until killed, die with the benchmark if it dies
// (PR_SET_PDEATHSIG), and are reaped after it. Header-only; benchmark thread
// only.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace bench {

// Up to n sleeping children; fewer when fork fails.
inline std::vector<pid_t> spawnSleepers(int n) {
    std::vector<pid_t> pids;
    pids.reserve(n);
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid < 0) break;
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
            // The parent may have died before prctl took effect.
            if (getppid() == 1) _exit(0);
            for (;;) pause();
        }
        pids.push_back(pid);
    }
    return pids;
}

// n sleeping processes that are not ours: children of one process of ours
// that waits for ever, as the other processes of a host are. Ended with that
// process (kill it with SIGKILL and reap it); 0 when it could not be forked.
inline pid_t spawnForeignSleepers(int n) {
    int ready[2];
    if (pipe(ready) != 0) return 0;
    const pid_t holder = fork();
    if (holder == 0) {
        close(ready[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        if (getppid() == 1) _exit(0);
        spawnSleepers(n);
        const char go = 1;
        if (write(ready[1], &go, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char go = 0;
    if (holder > 0 && read(ready[0], &go, 1) != 1) go = 0;
    close(ready[0]);
    return holder;
}

inline void reap(const std::vector<pid_t>& pids) {
    for (pid_t p : pids) kill(p, SIGKILL);
    for (pid_t p : pids) waitpid(p, nullptr, 0);
}

}  // namespace bench
