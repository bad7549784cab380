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

inline void reap(const std::vector<pid_t>& pids) {
    for (pid_t p : pids) kill(p, SIGKILL);
    for (pid_t p : pids) waitpid(p, nullptr, 0);
}

}  // namespace bench
