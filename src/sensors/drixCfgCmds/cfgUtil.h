// Loading a sensor configuration file over the built-in defaults, shared by
// statkeepctl and statkeepcfg.
#pragma once

#include <string>

#include "Configuration.h"

class Logger;

// A new configuration with the daemon's schema and every built-in default,
// then the file's values read over them. Null (load errors logged through
// logger) when the file cannot be read or is invalid; otherwise owned by the
// caller.
Cfg::Configuration* loadConfig(const std::string& path, const Logger* logger);
