#include "Statkeepcfg.h"

#include <getopt.h>

#include <cstdio>
#include <iostream>
#include <vector>

#include "CfgFileParser.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorDefaultConfig.h"
#include "cfgUtil.h"
#include "split.h"

const char* const Statkeepcfg::DEFAULT_CFG = "/opt/Ostrel/velmar/defaults/VelmarSensors.cfg";

namespace {

// Blank, newline, carriage return and tab off both ends; a text of only
// those becomes empty.
std::string trim(const std::string& text) {
    const char* const blanks = " \n\r\t";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string nameOf(const Cfg::ParamValStore* sensor) {
    std::string name;
    sensor->getString(Cfg::SENSNAME, name);
    return name;
}

// The schema of a file of sensors to add: nothing but the sensors list.
const Cfg::ParamDefStore& addFileSchema() {
    static const Cfg::ParamDef sensorsOnly = {Cfg::paramVec, 0, Cfg::SENSORS,
                                              "List of sensor configurations.",
                                              &Cfg::SensorDefaultConfig::sensorsDefStore};
    static Cfg::ParamDefStore schema;
    static const bool filled = schema.putDef(sensorsOnly);
    (void)filled;
    return schema;
}

const struct option LONG_OPTIONS[] = {
    {"cfg-file", required_argument, nullptr, 'f'},
    {"collectors", required_argument, nullptr, 'c'},
    {"add-sensors", required_argument, nullptr, 'a'},
    {"delete-sensors", required_argument, nullptr, 'd'},
    {"show-collectors", no_argument, nullptr, 's'},
    {"show-collector-candidates", no_argument, nullptr, 't'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int Statkeepcfg::produceConfig(int argc, char* argv[]) {
    const char* progName = argc > 0 && argv[0] != nullptr ? argv[0] : "statkeepcfg";
    std::string file = Platform::path(DEFAULT_CFG);
    std::string addFile, deleteList, collectorList;
    bool haveCollectors = false, edit = false;
    char show = 0;

    optind = 0;  // glibc: start afresh
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "ha:c:d:f:st", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
            case 'a':
                addFile = optarg;
                edit = true;
                break;
            case 'c':
                collectorList = optarg;
                haveCollectors = true;
                edit = true;
                break;
            case 'd':
                deleteList = optarg;
                edit = true;
                break;
            case 'f':
                file = optarg;
                break;
            case 'h':
                usage(progName);
                return 0;
            case 's':
            case 't':
                if (show != 0) {
                    usage(progName);
                    return -1;
                }
                show = static_cast<char>(c);
                break;
            default:
                usage(progName);
                return -1;
        }
    }
    if (show != 0 && edit) {
        usage(progName);
        return -1;
    }

    config = loadConfig(file, &logger);
    if (config == nullptr) {
        logger.logError("Could not read configuration file %s", file.c_str());
        return -1;
    }

    if (show == 's') {
        showCollectors(config, std::cout);
    } else if (show == 't') {
        showCollectorCandidates(config, std::cout);
    } else {
        if (!addFile.empty()) addSensors(addFile);
        if (!deleteList.empty()) deleteSensors(deleteList);
        if (lastSensorKept) return -1;
        if (haveCollectors && !assignCollectors(collectorList)) {
            logger.logError("Could not store collector candidates %s", collectorList.c_str());
            return -1;
        }
        const Cfg::StrVec* candidates = nullptr;
        if (!config->params.getStrVec(Cfg::COLCAND, candidates) ||
            (candidates->size() == 1 && candidates->front().empty())) {
            logger.logError("Missing collector candidates.");
            return -1;
        }
        if (optind < argc && !updateAttributes(argc, argv, optind)) return -1;
        showConfiguration(std::cout);
    }
    // A redirected output on a full disk must not pass for a whole file.
    std::cout.flush();
    if (!std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        logger.logError("Could not write to standard output.");
        return -1;
    }
    return 0;
}

void Statkeepcfg::usage(const char* progName) const {
    std::fprintf(stderr,
                 "usage: %s -h\n"
                 "  Print this help message.\n"
                 "\n"
                 "usage: %s --cfg-file statkeep.cfg [Show-Options]\n"
                 "Show-Options: \n"
                 "  --show-collectors             Show the collectors this node is reporting to.\n"
                 "                                (requires node config file)\n"
                 "  --show-collector-candidates   Show the collectors configured in the DRIX\n"
                 "                                cluster (requires DRIX config file)\n"
                 "\n"
                 "usage: %s --cfg-file statkeep.cfg [Options] [attr1=value1 attr2=value2 ...]\n"
                 "  Update a configuration file.\n"
                 "\n"
                 "Options:\n"
                 "  --cfg-file CFG           The configuration file to be modified.\n"
                 "  --collectors C1,...      Send monitoring data to collectors C1,....\n"
                 "  --add-sensors FILE       Add sensors from file FILE.\n"
                 "  --delete-sensors S1,...  Delete sensors with names S1, ....\n"
                 "  attr=value               Updates an attribute to value\n"
                 "                           (e.g., CPU.period=5).\n",
                 progName, progName, progName);
    std::fflush(stderr);
}

void Statkeepcfg::showCollectors(const Cfg::Configuration* cfg, std::ostream& out) const {
    const Cfg::ParamVec* collectors = nullptr;
    if (cfg == nullptr || !cfg->params.getParamStoreVec(Cfg::COLLECTORS, collectors)) return;
    for (const Cfg::ParamValStore* c : *collectors) {
        std::string host, port;
        c->getString(Cfg::COLHOST, host);
        c->getString(Cfg::COLPORT, port);
        out << trim(host) << ":" << trim(port) << "\n";
    }
}

void Statkeepcfg::showCollectorCandidates(const Cfg::Configuration* cfg, std::ostream& out) const {
    const Cfg::StrVec* candidates = nullptr;
    if (cfg == nullptr || !cfg->params.getStrVec(Cfg::COLCAND, candidates)) return;
    for (const std::string& c : *candidates) out << trim(c) << "\n";
}

void Statkeepcfg::showConfiguration(std::ostream& out) const {
    out << "# This file has been generated automatically and SHOULD NOT\n"
           "# be edited manually.  It may be overwritten at any point\n"
           "# in time.\n"
           "\n";
    if (config != nullptr) Cfg::CfgFileParser::dumpCfg(out, "", config->params);
}

void Statkeepcfg::dumpSensors(const Cfg::Configuration* cfg, std::ostream& out) const {
    const Cfg::ParamVec* sensors = nullptr;
    if (cfg == nullptr || !cfg->params.getParamStoreVec(Cfg::SENSORS, sensors)) return;
    for (const Cfg::ParamValStore* s : *sensors) out << nameOf(s) << "\n";
}

bool Statkeepcfg::addSensors(const std::string& file) {
    Cfg::Configuration other(addFileSchema(), Cfg::ParamValStore());
    if (!other.loadConfigFile(file, &logger)) return false;
    return addSensors(&other);
}

bool Statkeepcfg::addSensors(Cfg::Configuration* other) {
    Cfg::ParamVec* sensors = nullptr;
    const Cfg::ParamDefStore* schema = nullptr;
    if (other == nullptr || !other->getParamStoreVecForUpdate(Cfg::SENSORS, sensors, schema))
        return false;
    bool added = false;
    while (!sensors->empty()) {
        // Out of the other list before it is handed on, so that exactly one
        // owner ever holds it.
        Cfg::ParamValStore* sensor = sensors->front();
        sensors->erase(sensors->begin());
        if (addSensor(sensor)) {
            added = true;
        } else {
            delete sensor;
        }
    }
    return added;
}

bool Statkeepcfg::addSensor(Cfg::ParamValStore* sensor) {
    if (config == nullptr || sensor == nullptr) return false;
    const std::string name = nameOf(sensor);
    Cfg::ParamVec* sensors = nullptr;
    const Cfg::ParamDefStore* schema = nullptr;
    if (!config->getParamStoreVecForUpdate(Cfg::SENSORS, sensors, schema)) {
        // No list to append to: the sensor becomes the whole list.
        config->params.putStore(Cfg::SENSORS, *sensor);
        delete sensor;
        return true;
    }
    for (const Cfg::ParamValStore* s : *sensors) {
        if (nameOf(s) == name) {
            logger.logError("Cannot add sensor %s: sensor exists", name.c_str());
            return false;
        }
    }
    sensors->push_back(sensor);
    return true;
}

bool Statkeepcfg::deleteSensors(const std::string& list) {
    std::vector<std::string> names;
    split(list, ",", names);
    bool deleted = false;
    for (const std::string& n : names) deleted = deleteSensor(trim(n)) || deleted;
    return deleted;
}

bool Statkeepcfg::deleteSensor(const std::string& name) {
    Cfg::ParamVec* sensors = nullptr;
    const Cfg::ParamDefStore* schema = nullptr;
    if (config != nullptr && config->getParamStoreVecForUpdate(Cfg::SENSORS, sensors, schema)) {
        for (auto it = sensors->begin(); it != sensors->end(); ++it) {
            if (nameOf(*it) != name) continue;
            if (sensors->size() == 1) {
                logger.logError("Cannot delete sensor %s: the sensor list would be empty",
                                name.c_str());
                lastSensorKept = true;
                return false;
            }
            delete *it;
            sensors->erase(it);
            return true;
        }
    }
    logger.logError("Cannot delete sensor %s: no such sensor", name.c_str());
    return false;
}

bool Statkeepcfg::assignCollectors(const std::string& list) {
    if (config == nullptr) return false;
    std::vector<std::string> candidates;
    split(list, ", ", candidates);
    // What statkeepctl would refuse on every node is refused here, before it
    // reaches the cluster.
    for (const std::string& c : candidates) {
        if (!checkCollectorCandidate(c, &logger)) return false;
    }
    return Cfg::Configuration::putValueVec(Cfg::COLCAND, candidates, config->params, config->defs,
                                           &logger);
}

bool Statkeepcfg::updateAttributes(int argc, char* argv[], int first) {
    for (int i = first; i < argc; ++i) {
        std::vector<std::string> pieces;
        split(argv[i], "=", pieces);
        std::string key, value;
        if (pieces.size() == 2) {
            value = pieces[1];
        } else if (pieces.size() == 3) {
            value = pieces[1] + "=" + pieces[2];
        } else {
            logger.logError("Illegal assignment: %s", argv[i]);
            return false;
        }
        key = pieces[0];
        if (!updateAttribute(trim(key), trim(value))) return false;
    }
    return true;
}

bool Statkeepcfg::updateAttribute(const std::string& key, const std::string& value) {
    std::vector<std::string> pieces;
    split(key, ". ", pieces);
    if (pieces.size() != 2) {
        logger.logError("Illegal key argument: %s. Expect 'name.attribute'", key.c_str());
        return false;
    }
    Cfg::ParamVec* sensors = nullptr;
    const Cfg::ParamDefStore* schema = nullptr;
    Cfg::ParamValStore* sensor = nullptr;
    if (config != nullptr && config->getParamStoreVecForUpdate(Cfg::SENSORS, sensors, schema)) {
        for (Cfg::ParamValStore* s : *sensors) {
            if (nameOf(s) == pieces[0]) {
                sensor = s;
                break;
            }
        }
    }
    if (sensor == nullptr) {
        logger.logError("Unknown sensor: %s", pieces[0].c_str());
        return false;
    }
    if (!Cfg::Configuration::putValue(pieces[1], value, *sensor, *schema, &logger)) {
        logger.logError("Unknown attribute %s for sensor %s.", pieces[1].c_str(),
                        pieces[0].c_str());
        return false;
    }
    return true;
}
