// Loading a sensor configuration file over the built-in defaults, and the
// check of a collector candidate, shared by statkeepctl and statkeepcfg.
#pragma once

#include <string>
#include <vector>

#include "Configuration.h"
#include "SensorDefaultConfig.h"

class Logger;

// A new configuration with the daemon's schema and every built-in default,
// then the file's values read over them. Null (load errors logged through
// logger) when the file cannot be read or is invalid; otherwise owned by the
// caller.
Cfg::Configuration* loadConfig(const std::string& path, const Logger* logger);

// The port of a collector candidate that names none.
extern const char CANDIDATE_DEFAULT_PORT[];

// A colCandidates entry split as it becomes a collectors entry: at ':', empty
// pieces skipped, so host first, then the port if any; later pieces are
// ignored.
std::vector<std::string> collectorCandidatePieces(const std::string& candidate);

// The address a candidate becomes, judged by Cfg::checkCollectorAddress: the
// default port where it names none (or only blanks).
Cfg::CollectorAddress collectorCandidateAddress(const std::string& candidate);

// False, with an error through logger, for a candidate that has no host, or
// whose host or port breaks the collector address rule: statkeepctl would
// refuse it on every node, and the daemon could not use it.
bool checkCollectorCandidate(const std::string& candidate, const Logger* logger);
