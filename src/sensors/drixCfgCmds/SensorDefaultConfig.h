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

// A collector's host and port as the one rule below reads them, and its
// verdict on each.
struct CollectorAddress {
    std::string host;  // blanks (blank, tab, CR, LF) at both ends removed
    std::string port;  // likewise; a number keeps its leading zeros
    bool hostOk = false;
    bool portOk = false;
};

// The one rule for a collector address, applied by the daemon to its
// collectors and by both tools to collector candidates, so that nothing one
// accepts is refused or misread by another. After trimming:
// - a port is decimal digits naming 1 to 65535, or a service name (a letter,
//   then letters, digits and '-'). Anything else is refused, a sign or an
//   inner blank included: the resolver reads " 99695" or "+120249" as a
//   number and takes it modulo 65536. An empty port is refused here; a
//   caller for which it means the default port fills that in first;
// - a host is an IPv4 address, an IPv6 address (with an optional "%zone"),
//   or a host name: dot-separated labels of 1 to 63 letters, digits, '-' and
//   '_', at most 253 characters, optionally ending in a dot. A comma, a blank
//   or a control character therefore never passes: "a,b" is not two hosts.
//   Nor does a name the resolver would read as an IPv4 address in another
//   form than dotted decimal ("010.0.0.1", "99695", "0x7f.1").
CollectorAddress checkCollectorAddress(const std::string& host, const std::string& port);

// The number a collector `port` written in decimal digits stands for, capped
// at 65536 so that no digit string overflows; -1 when it is not all digits
// (a service name, left to the resolver).
long collectorPortNumber(const std::string& port);

// The daemon's check of its collectors list: logs every entry whose port, or
// whose non-empty host, breaks the rule of checkCollectorAddress, naming the
// value and the file. False when there is one. The host and port of every
// entry are left trimmed, as the rule read them, for the connections.
bool checkCollectorPorts(ParamValStore& params, const std::string& path, const Logger& logger);

}  // namespace Cfg
