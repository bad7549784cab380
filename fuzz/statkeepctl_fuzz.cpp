// Drives statkeepctl's collector choice with arbitrary candidate lists, node
// numbers and colRedundancy values on an in-memory configuration. A choice
// must be non-empty and made of the candidates, each entry split into host
// and port as the tool does and passing the daemon's collector address rule,
// no two reaching one host and port; a refusal must have one of its reasons,
// among them a candidate that breaks that rule.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "ParamNames.h"
#include "SensorDefaultConfig.h"
#include "StatkeepCtrl.h"
#include "split.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

class FuzzCtrl : public StatkeepCtrl {
  public:
    FuzzCtrl(const std::string& node, const Cfg::ParamValStore& defaults) {
        nodeNumber = node;
        config = new Cfg::Configuration(Cfg::SensorDefaultConfig::velmarSensorsDefStore, defaults);
    }
    Cfg::ParamValStore& params() { return config->params; }
};

// The entry a candidate becomes, judged by the collector address rule the
// daemon applies: host and port trimmed, "4739" where it names no port.
Cfg::CollectorAddress entryOf(const std::string& candidate) {
    std::vector<std::string> pieces;
    split(candidate, ":", pieces);
    std::string port = pieces.size() > 1 ? pieces[1] : "";
    if (port.find_first_not_of(" \t\r\n") == std::string::npos) port = "4739";
    return Cfg::checkCollectorAddress(pieces.empty() ? "" : pieces[0], port);
}

// The collector an entry reaches: the host in any case, a port number
// without leading zeros.
std::string addressOf(const std::string& entryHost, const std::string& port) {
    std::string host = entryHost;
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (port.find_first_not_of("0123456789") != std::string::npos) return host + ":" + port;
    return host + ":" + std::to_string(std::stoul(port));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Cfg::SensorDefaultConfig defaults;
    FuzzedDataProvider in(data, size);
    const bool hasRedundancy = in.ConsumeBool();
    const int32_t redundancy = in.ConsumeIntegral<int32_t>();
    FuzzCtrl ctrl(in.ConsumeRandomLengthString(24), defaults.velmarSensorStore);
    std::vector<std::string> candidates;
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 24);
    for (size_t i = 0; i < count; ++i) candidates.push_back(in.ConsumeRandomLengthString(16));
    // Strings the configuration language cannot carry never reach the tool.
    if (!ctrl.params().putStrVec(Cfg::COLCAND, candidates)) return 0;
    if (hasRedundancy) {
        ctrl.params().putInt(Cfg::COLREDUNDANCY, redundancy);
    } else {
        ctrl.params().putIntVec(Cfg::COLREDUNDANCY, {});
    }

    bool refusable = candidates.empty() || candidates.front().empty();
    std::set<std::string> entries, addresses;
    for (const std::string& c : candidates) {
        const Cfg::CollectorAddress e = entryOf(c);
        refusable = refusable || !e.hostOk || !e.portOk;
        entries.insert(e.host + ":" + e.port);
        if (!refusable) addresses.insert(addressOf(e.host, e.port));
    }
    if (!ctrl.assignCollectors()) {
        check(refusable);
        return 0;
    }
    check(!refusable);
    const Cfg::ParamVec* list = nullptr;
    check(ctrl.params().getParamStoreVec(Cfg::COLLECTORS, list));
    check(!list->empty() && list->size() <= addresses.size());
    std::set<std::string> reached;  // one entry per collector
    for (const Cfg::ParamValStore* e : *list) {
        std::string host, port;
        check(e->getString(Cfg::COLHOST, host) && e->getString(Cfg::COLPORT, port));
        // Written as the daemon's check will read it, so that it passes unchanged.
        const Cfg::CollectorAddress a = Cfg::checkCollectorAddress(host, port);
        check(a.hostOk && a.portOk && a.host == host && a.port == port);
        check(entries.count(host + ":" + port) == 1);
        check(reached.insert(addressOf(host, port)).second);
    }
    return 0;
}
