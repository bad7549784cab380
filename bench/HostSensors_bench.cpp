// Cost of one sample of each /proc host sensor on this machine, beside the
// cost of reading its file alone (open once, read whole, rewind: what the
// sensor cannot avoid), and of the TCP sensor on a synthetic table of 100 000
// sockets.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "PlatformPaths.h"
#include "SensorCPU.h"
#include "SensorDiskstat.h"
#include "SensorLoad.h"
#include "SensorMemory.h"
#include "SensorNetstat.h"
#include "SensorNetwork.h"

namespace {

template <class Sensor>
void BM_Sample(benchmark::State& state) {
    Sensor sensor;
    if (sensor.init() != 0) {
        state.SkipWithError("init failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(sensor.getMetricData());
    sensor.shutdown();
}

void BM_ReadOnly(benchmark::State& state, const char* productionPath) {
    const int fd = open(Platform::path(productionPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open");
        return;
    }
    std::vector<char> buf(1 << 16);
    for (auto _ : state) {
        size_t used = 0;
        for (;;) {
            if (used == buf.size()) buf.resize(buf.size() * 2);
            const ssize_t n = read(fd, buf.data() + used, buf.size() - used);
            if (n <= 0) break;
            used += static_cast<size_t>(n);
        }
        lseek(fd, 0, SEEK_SET);
        benchmark::DoNotOptimize(used);
    }
    close(fd);
}

BENCHMARK_TEMPLATE(BM_Sample, SensorCPU)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnly, stat, "/proc/stat")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Sample, SensorMemory)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnly, meminfo, "/proc/meminfo")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Sample, SensorNetwork)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnly, net_dev, "/proc/net/dev")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Sample, SensorDiskstat)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnly, diskstats, "/proc/diskstats")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Sample, SensorLoad)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnly, loadavg, "/proc/loadavg")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Sample, SensorNetstat)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReadOnly, net_tcp, "/proc/net/tcp")->Unit(benchmark::kMicrosecond);

// A synthetic /proc/net/tcp of 100 000 sockets in a temporary root: a mix of
// listening, loopback and remote connections as a busy server shows them.
class SyntheticTcp {
  public:
    SyntheticTcp() {
        char tmpl[] = "/tmp/vlm-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return;
        root = tmpl;
        std::system(("mkdir -p '" + root + "/proc/net'").c_str());
        std::ofstream out(root + "/proc/net/tcp");
        out << "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   "
               "uid  timeout inode\n";
        char line[256];
        for (int i = 0; i < 100000; ++i) {
            const char* local = i % 10 == 0 ? "0100007F" : "0F02000A";
            const char* remote = i % 10 == 0 ? "0100007F" : "2201A8C0";
            const int state = i % 50 == 0 ? 10 : (i % 7 == 0 ? 6 : 1);
            std::snprintf(line, sizeof line,
                          "%6d: %s:%04X %s:%04X %02X %08X:%08X 00:00000000 00000000  1000        "
                          "0 %d 1 0000000000000000 20 4 30 10 -1\n",
                          i, local, 1024 + i % 60000, remote, 443 + i % 7, state, i % 4096, i % 512,
                          100000 + i);
            out << line;
        }
        Platform::setRoot(root);
    }
    ~SyntheticTcp() {
        Platform::setRoot("");
        if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
    }
    std::string root;
};

void BM_NetstatSynthetic(benchmark::State& state) {
    SyntheticTcp table;
    SensorNetstat sensor;
    if (table.root.empty() || sensor.init() != 0) {
        state.SkipWithError("no synthetic table");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(sensor.getMetricData());
}
void BM_ReadOnlySynthetic(benchmark::State& state) {
    SyntheticTcp table;
    BM_ReadOnly(state, "/proc/net/tcp");
}
BENCHMARK(BM_NetstatSynthetic)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadOnlySynthetic)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
