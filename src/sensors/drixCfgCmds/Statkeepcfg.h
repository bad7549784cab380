// statkeepcfg: reads one sensor configuration over the built-in defaults,
// then either prints its collectors or collector candidates, or applies the
// edits of the command line (add sensors from a file, delete sensors, set the
// collector candidates, set name.attribute=value) in a fixed order and prints
// the whole result. It never writes a file.
//
// One object per run, single-threaded. Results go to standard output and
// only after every edit has succeeded; messages go to standard error at error
// level, the usage text to standard error.
#pragma once

#include <iosfwd>
#include <string>

#include "Configuration.h"
#include "StdOutLogger.h"

class Statkeepcfg {
  public:
    static const char* const DEFAULT_CFG;

    Statkeepcfg() = default;
    Statkeepcfg(const Statkeepcfg&) = delete;
    Statkeepcfg& operator=(const Statkeepcfg&) = delete;
    ~Statkeepcfg() { delete config; }

    // The whole command: 0 on success and for -h, -1 on any failure,
    // including output that could not be written.
    int produceConfig(int argc, char* argv[]);
    void usage(const char* progName) const;

    // Each entry's host and port, trimmed, as "host:port".
    void showCollectors(const Cfg::Configuration* cfg, std::ostream& out) const;
    // Each candidate trimmed; nothing when the list is missing or empty.
    void showCollectorCandidates(const Cfg::Configuration* cfg, std::ostream& out) const;
    // A header comment, an empty line and every parameter, defaults included.
    void showConfiguration(std::ostream& out) const;
    // Each sensor's name on its own line.
    void dumpSensors(const Cfg::Configuration* cfg, std::ostream& out) const;

    // Reads a file that may hold only a sensors list and adds its sensors.
    bool addSensors(const std::string& file);
    // Moves the other configuration's sensors over one at a time; refused
    // ones are deleted. True when at least one was added.
    bool addSensors(Cfg::Configuration* other);
    // Appends the heap store, which the list then owns. False, ownership
    // staying with the caller, when a sensor of that name exists.
    bool addSensor(Cfg::ParamValStore* sensor);

    // Names separated by ",", each trimmed. True when at least one went.
    bool deleteSensors(const std::string& list);
    // Removes and deletes the first sensor of that name. The last sensor is
    // never deleted: the configuration language cannot write an empty list,
    // so the printed file would read back with the default sensors.
    bool deleteSensor(const std::string& name);

    // Replaces colCandidates with the pieces of list between "," and blanks;
    // false, changing nothing, when one has no host or breaks the collector
    // address rule (checkCollectorCandidate).
    bool assignCollectors(const std::string& list);

    // Applies argv[first..argc) as name.attribute=value, stopping at the
    // first failure.
    bool updateAttributes(int argc, char* argv[], int first);
    bool updateAttribute(const std::string& key, const std::string& value);

  protected:
    Cfg::Configuration* config = nullptr;  // owned
    StdErrLogger logger;
    // Set by a refused deletion of the last sensor; the run then fails.
    bool lastSensorKept = false;
};
