// Applies statkeepcfg's command-line edits, taken from the fuzzer's bytes, to
// the default configuration in the command's order: a delete list, a
// collector list, then assignments. Whatever the command would print must read
// back into an equal configuration and print the same bytes again, and every
// collector candidate it stored must pass the daemon's collector address rule.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "CfgFileParser.h"
#include "ParamNames.h"
#include "SensorDefaultConfig.h"
#include "Statkeepcfg.h"
#include "split.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

class FuzzCfg : public Statkeepcfg {
  public:
    explicit FuzzCfg(const Cfg::ParamValStore& defaults) {
        config = new Cfg::Configuration(Cfg::SensorDefaultConfig::velmarSensorsDefStore, defaults);
    }
    // The command's edit stage; false where it would fail and print nothing.
    bool edit(const std::string& deletes, const std::string* collectors,
              std::vector<std::string>& assignments) {
        if (!deletes.empty()) deleteSensors(deletes);
        if (lastSensorKept) return false;
        if (collectors != nullptr && !assignCollectors(*collectors)) return false;
        const Cfg::StrVec* c = nullptr;
        if (!config->params.getStrVec(Cfg::COLCAND, c) || (c->size() == 1 && c->front().empty()))
            return false;
        std::vector<char*> argv;
        for (std::string& a : assignments) argv.push_back(&a[0]);
        return updateAttributes(static_cast<int>(argv.size()), argv.data(), 0);
    }
    const Cfg::ParamValStore& params() const { return config->params; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Cfg::SensorDefaultConfig defaults;
    FuzzedDataProvider in(data, size);
    const std::string deletes = in.ConsumeRandomLengthString(64);
    const bool hasCollectors = in.ConsumeBool();
    const std::string collectors = in.ConsumeRandomLengthString(64);
    std::vector<std::string> assignments;
    while (assignments.size() < 8 && in.remaining_bytes() > 0) {
        std::string a = in.ConsumeRandomLengthString(48);
        if (a.find('\0') == std::string::npos) assignments.push_back(a);  // argv strings end at NUL
    }

    FuzzCfg cfg(defaults.velmarSensorStore);
    if (!cfg.edit(deletes, hasCollectors ? &collectors : nullptr, assignments)) return 0;
    if (hasCollectors) {
        // Every candidate stored names a host and port the daemon accepts.
        const Cfg::StrVec* stored = nullptr;
        check(cfg.params().getStrVec(Cfg::COLCAND, stored));
        for (const std::string& c : *stored) {
            std::vector<std::string> pieces;
            split(c, ":", pieces);
            check(!pieces.empty());
            // A port of blanks only is none: the default port.
            std::string port = pieces.size() > 1 ? pieces[1] : "";
            if (port.find_first_not_of(" \t\r\n") == std::string::npos) port = "4739";
            const Cfg::CollectorAddress a = Cfg::checkCollectorAddress(pieces[0], port);
            check(a.hostOk && a.portOk);
        }
    }
    std::ostringstream printed;
    cfg.showConfiguration(printed);

    Cfg::ParamValStore back(defaults.velmarSensorStore);
    std::istringstream text(printed.str());
    Cfg::CfgFileParser parser;
    check(parser.parse(text, back, Cfg::SensorDefaultConfig::velmarSensorsDefStore));
    check(back == cfg.params());
    std::ostringstream again;
    Cfg::CfgFileParser::dumpCfg(again, "", back);
    check(printed.str().substr(printed.str().find("\n\n") + 2) == again.str());
    return 0;
}
