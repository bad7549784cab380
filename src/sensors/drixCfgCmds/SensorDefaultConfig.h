// The daemon's configuration vocabulary: the schema of the top level and of the
// collector, sensor and blaster entries, and the built-in default values. The
// daemon and both configuration tools build one SensorDefaultConfig at start,
// then a Configuration over velmarSensorsDefStore and a copy of
// velmarSensorStore.
//
// The definition arrays and stores are process-wide and live until exit; the
// stores are empty until the first init_static() (which the constructor runs)
// and are read-only afterwards. The stores point into the arrays. Use them
// only once main has started: they are ordinary static objects of this
// library. An object owns its three value stores.
#pragma once

#include <string>

#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"

class Logger;

// The build's version and release texts. The build system defines
// VELMAR_RELEASE for this library and everything linking it, so that the
// `release` default and the daemon's start line always agree.
#ifndef VELMAR_VERSION
#define VELMAR_VERSION "5.2.2"
#endif
#ifndef VELMAR_RELEASE
#define VELMAR_RELEASE "1"
#endif

namespace Cfg {

class SensorDefaultConfig {
public:
    SensorDefaultConfig();

    // Fills the four definition stores from the arrays; later calls change
    // nothing.
    static void init_static();

    static int init_static_flag;

    static const ParamDef collectorHostPortDefinition[2];
    static const ParamDef sensorsDefinition[8];
    static const ParamDef blasterDefinition[2];
    static const ParamDef velmarSensorsDefinition[25];

    static ParamDefStore collectorDefStore;
    static ParamDefStore sensorsDefStore;
    static ParamDefStore blasterDefStore;
    static ParamDefStore velmarSensorsDefStore;

    // The default collector entry.
    ParamValStore collectorValStore;
    // Work store for building the default sensor entries; holds the last one.
    ParamValStore sensorValStore;
    // The top-level defaults.
    ParamValStore velmarSensorStore;
};

// The number a collector `port` written in decimal digits stands for, capped
// at 65536 so that no digit string overflows; -1 when it is not all digits
// (a service name, left to the resolver).
long collectorPortNumber(const std::string& port);

// True for a port in digits outside 1 to 65535: the resolver would silently
// take it modulo 65536 and reach another port.
bool isBadCollectorPort(const std::string& port);

// The daemon's check of its collectors list: logs every entry whose port is
// bad, naming the value and the file. False when there is one.
bool checkCollectorPorts(const ParamValStore& params, const std::string& path,
                         const Logger& logger);

}  // namespace Cfg
