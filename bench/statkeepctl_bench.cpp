// The collector ring at a large cluster's scale (1,000 candidates, 100,000
// points) and one whole statkeepctl enable run against 1,000 candidates and
// the default sensor list, under a temporary platform root with an init
// script that only exits.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ConsistentHash.h"

extern char** environ;

namespace {

std::vector<std::string> candidates(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back("collector" + std::to_string(i) + ".example:4739");
    return out;
}

void BM_RingBuild1000(benchmark::State& state) {
    const std::vector<std::string> servers = candidates(1000);
    for (auto _ : state) {
        ConsistentHash ring(ConsistentHash::DEFAULT_REPLICAS);
        for (const std::string& s : servers) ring.addServer(s);
        benchmark::DoNotOptimize(ring.getServer("17"));
    }
}
BENCHMARK(BM_RingBuild1000)->Unit(benchmark::kMillisecond);

void BM_RingGetServer(benchmark::State& state) {
    ConsistentHash ring(ConsistentHash::DEFAULT_REPLICAS);
    for (const std::string& s : candidates(1000)) ring.addServer(s);
    int key = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(ring.getServer(std::to_string(key++ & 1023) + "0"));
}
BENCHMARK(BM_RingGetServer);

struct Root {
    std::string dir;
    Root() {
        char tmpl[] = "/tmp/vlm-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        for (const char* d :
             {"/opt", "/opt/Ostrel", "/opt/Ostrel/velmar", "/tmp", "/etc", "/etc/init.d"}) {
            mkdir((dir + d).c_str(), 0755);
        }
        std::ofstream(dir + "/etc/init.d/cvxsensors") << "#!/bin/sh\nexit 0\n";
        chmod((dir + "/etc/init.d/cvxsensors").c_str(), 0700);
        std::ofstream cluster(dir + "/cluster.cfg");
        cluster << "colCandidates = ";
        const std::vector<std::string> c = candidates(1000);
        for (std::size_t i = 0; i < c.size(); ++i) cluster << (i ? ", " : "") << '"' << c[i] << '"';
        cluster << "\n";
        setenv("VELMAR_PLATFORM_ROOT", dir.c_str(), 1);
    }
    ~Root() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

int runEnable(const Root& root) {
    const std::string cluster = root.dir + "/cluster.cfg";
    const char* argv[] = {STATKEEPCTL, "enable", "17", "node17", cluster.c_str(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, STATKEEPCTL, nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// changed = 1: the daemon's file is missing, so each run writes it and runs
// the init script; 0: the file is current and the run only compares.
void BM_StatkeepctlEnable1000(benchmark::State& state) {
    Root root;
    const std::string cfg = root.dir + "/opt/Ostrel/velmar/VelmarSensors.cfg";
    if (runEnable(root) != 0) state.SkipWithError("statkeepctl failed");
    for (auto _ : state) {
        if (state.range(0)) {
            state.PauseTiming();
            unlink(cfg.c_str());
            state.ResumeTiming();
        }
        if (runEnable(root) != 0) state.SkipWithError("statkeepctl failed");
    }
}
BENCHMARK(BM_StatkeepctlEnable1000)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
