// Shared set-up of the end-to-end tests that run the controller in this
// process with filesystem statistics sensors against the fake relay: the
// configuration written and loaded, the controller started, and the test
// collector's records counted by template. The test's own thread only;
// compiled with TALLYQRELAY and IPFIX_COLLECTOR set.
#pragma once

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Configuration.h"
#include "E2eSupport.h"
#include "SensorCtrl.h"
#include "SensorDefaultConfig.h"

namespace e2e {

// The controller's configuration, kept for as long as the controller runs.
class InProcess {
  public:
    // Writes dir/sensors.cfg (host "e2enode", the fake relay, the collector
    // at port unless it is empty, every sensor at period 1), loads it and
    // starts the controller on it.
    bool start(const std::string& dir, const std::string& port,
               const std::vector<std::string>& sensors) {
        std::string text = "hostname = \"e2enode\"\ntallyq = \"" TALLYQRELAY "\"\n";
        if (!port.empty())
            text += "collectors = { host = \"127.0.0.1\" port = \"" + port + "\" }\n";
        text += "sensors = ";
        for (const std::string& n : sensors)
            text += (n == sensors[0] ? "" : ", ") + ("{ name = \"" + n + "\" period = 1 }");
        std::ofstream(dir + "/sensors.cfg") << text << "\n";
        return cfg.loadConfigFile(dir + "/sensors.cfg", nullptr) &&
               SensorCtrl::startSensorCtrl(nullptr, &cfg) == 0;
    }

  private:
    Cfg::SensorDefaultConfig defaults;
    Cfg::Configuration cfg{Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                           defaults.velmarSensorStore};
};

// The records the collector received by template id; announced, when
// given, receives the ids of the templates it was sent.
inline std::map<unsigned, unsigned long> recordsById(const std::string& out,
                                                     std::set<unsigned>* announced = nullptr) {
    std::map<unsigned, unsigned long> records;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        unsigned c, s, id, len;
        unsigned long n;
        if (sscanf(l.c_str(), "set conn=%u seq=%u id=%u length=%u records=%lu", &c, &s, &id, &len,
                   &n) == 5)
            records[id] += n;
        if (announced && sscanf(l.c_str(), "template conn=%u seq=%u id=%u", &c, &s, &id) == 3)
            announced->insert(id);
    }
    return records;
}

}  // namespace e2e
