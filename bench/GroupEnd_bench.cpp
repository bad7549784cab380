// What ending one tool's process group costs on hosts of three sizes: a
// tool that exits at once, run in a group of its own beside a watcher of
// ours (as a command relay's guard), then its group ended. Its leftovers are
// looked for among our own descendants, or, as where the kernel lists no
// children, in the whole of /proc; each as the kernel signals groups through
// a pidfd and as on one that refuses that (before Linux 6.9).
// The host's other processes are forked before the timed loop, children of
// another process, as on a real host.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "Sleepers.h"

namespace {

void BM_endToolGroup(benchmark::State& state) {
    const int host = static_cast<int>(state.range(0));
    const bool walk = state.range(1) != 0;
    const bool pidfdGroups = state.range(2) != 0;
    const pid_t others = bench::spawnForeignSleepers(host);
    ChildProcess::refuseDescendantWalk(!walk);
    ChildProcess::refuseGroupPidfdSignal(!pidfdGroups);
    for (auto _ : state) {
        pid_t watcher = 0;
        ChildProcess tool;
        ChildProcess::Options o;
        o.ownGroup = true;
        o.beforeExec = [&watcher](pid_t group) {
            watcher = fork();
            if (watcher == 0) {
                for (;;) pause();
            }
            if (watcher > 0) setpgid(watcher, group);
            return watcher > 0 ? watcher : 0;
        };
        if (!tool.start("/bin/true", {"true"}, o).ok()) {
            state.SkipWithError("could not start /bin/true");
            break;
        }
        tool.closeOutput();
        benchmark::DoNotOptimize(tool.endGroup(1000, 500));
        if (watcher > 0) {
            kill(watcher, SIGKILL);
            waitpid(watcher, nullptr, 0);
        }
    }
    ChildProcess::refuseDescendantWalk(false);
    ChildProcess::refuseGroupPidfdSignal(false);
    // Its sleepers die with it and are adopted by us, as what a tool leaves
    // orphaned is: no other child of ours is left, so all are reaped.
    if (others > 0) kill(others, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    state.SetLabel(std::string(walk ? "descendants" : "whole /proc") +
                   (pidfdGroups ? ", pidfd groups" : ", groups by id"));
}

// Host processes: a small node, a busy one, and one at 20,000.
BENCHMARK(BM_endToolGroup)
    ->ArgsProduct({{200, 2000, 20000}, {1, 0}, {1, 0}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
