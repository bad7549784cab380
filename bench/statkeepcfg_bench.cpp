// One whole statkeepcfg run on a file of 1,000 sensors with 100 assignments,
// its output going to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

void BM_Statkeepcfg1000Sensors100Assignments(benchmark::State& state) {
    char tmpl[] = "/tmp/vlm-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string file = dir + "/sensors.cfg";
    {
        std::ofstream out(file);
        out << "colCandidates = \"c1\", \"c2\"\nsensors = ";
        for (int i = 0; i < 1000; ++i) {
            out << (i ? ",\n" : "") << "{ name = \"Sensor" << i << "\" period = " << i % 60
                << " filter = \"x\" restrict = \"node" << i % 64 << "\" }";
        }
        out << "\n";
    }
    std::vector<std::string> args = {STATKEEPCFG, "-f", file};
    for (int i = 0; i < 100; ++i) {
        args.push_back("Sensor" + std::to_string(i * 10) + (i % 2 ? ".period=5" : ".filter=y"));
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid;
        int status = -1;
        if (posix_spawn(&pid, STATKEEPCFG, &actions, nullptr, argv.data(), environ) == 0)
            waitpid(pid, &status, 0);
        if (status != 0) state.SkipWithError("statkeepcfg failed");
    }
    posix_spawn_file_actions_destroy(&actions);
    std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(BM_Statkeepcfg1000Sensors100Assignments)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
