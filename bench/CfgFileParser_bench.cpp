// Parsing, writing and comparing a configuration of about 1 MB: thousands of
// sensor entries, each with several attributes, as a large cluster-wide
// sensor file may hold.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "CfgFileParser.h"
#include "SensorDefaultConfig.h"

namespace {

std::string bigConfig(size_t targetBytes) {
    std::string text =
        "# generated\nloglevel = \"info\"\ncolCandidates = \"c1:4739\", \"c2:4739\"\n"
        "sensors = ";
    for (size_t n = 0; text.size() < targetBytes; ++n) {
        if (n > 0) text += ", \n";
        text += "{\n\tname = \"Sensor" + std::to_string(n) + "\"\n\tperiod = " +
                std::to_string(n % 120) +
                "\n\tfilter = \"netdev_name=^(lo|eth[0-9]+)$\"\n"
                "\trestrict = \"node" + std::to_string(n % 64) + ",storage,protocol\"\n"
                "\tproxyCmd = \"/opt/Ostrel/velmar/relay\"\n}";
    }
    return text + "\n";
}

const std::string& config() {
    static const std::string text = bigConfig(1 << 20);
    return text;
}

Cfg::ParamValStore parsed() {
    Cfg::SensorDefaultConfig::init_static();
    Cfg::ParamValStore store;
    std::istringstream in(config());
    Cfg::CfgFileParser p;
    if (!p.parse(in, store, Cfg::SensorDefaultConfig::velmarSensorsDefStore)) std::abort();
    return store;
}

void BM_ParseOneMegabyte(benchmark::State& state) {
    Cfg::SensorDefaultConfig::init_static();
    const std::string& text = config();
    size_t entries = 0;
    for (auto _ : state) {
        Cfg::ParamValStore store;
        std::istringstream in(text);
        Cfg::CfgFileParser p;
        if (!p.parse(in, store, Cfg::SensorDefaultConfig::velmarSensorsDefStore)) {
            state.SkipWithError("parse failed");
            break;
        }
        const Cfg::ParamVec* s = nullptr;
        store.getParamStoreVec(Cfg::SENSORS, s);
        entries = s ? s->size() : 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["bytes"] = static_cast<double>(text.size());
    state.counters["sensors"] = static_cast<double>(entries);
}
BENCHMARK(BM_ParseOneMegabyte)->Unit(benchmark::kMillisecond);

void BM_DumpOneMegabyte(benchmark::State& state) {
    const Cfg::ParamValStore store = parsed();
    for (auto _ : state) {
        std::ostringstream out;
        Cfg::CfgFileParser::dumpCfg(out, "", store);
        benchmark::DoNotOptimize(out.str().size());
    }
}
BENCHMARK(BM_DumpOneMegabyte)->Unit(benchmark::kMillisecond);

// The tools compare the edited and the stored configuration before writing.
void BM_CompareOneMegabyte(benchmark::State& state) {
    const Cfg::ParamValStore a = parsed();
    const Cfg::ParamValStore b(a);
    for (auto _ : state) benchmark::DoNotOptimize(a == b);
}
BENCHMARK(BM_CompareOneMegabyte)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
