#include "SensorDefaultConfig.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "Logger.h"

namespace Cfg {

// The arrays are defined before the stores in this one file, so they are
// built first; the key names they copy are compile-time constants.

const ParamDef SensorDefaultConfig::collectorHostPortDefinition[2] = {
    {strVec, 0, COLHOST, "Hostname or IP address of a Velmar collector.", nullptr},
    {strVec, 0, COLPORT, "Service name or port number of the Velmar collector.", nullptr},
};

const ParamDef SensorDefaultConfig::sensorsDefinition[8] = {
    {strVec, 0, SENSNAME, "Name of the sensor.", nullptr},
    {intVec, 0, SENSPERIOD, "Period in seconds of the sensor.", nullptr},
    {strVec, 0, SENSFILTER, "An optional filter definition.", nullptr},
    {strVec, 0, SENSTYPE, "Optional parameter describing type of sensor.", nullptr},
    {strVec, 0, SENSPCMD, "Optional parameter specifying the proxy command.", nullptr},
    {strVec, 0, SENSPARGS, "Optional parameter specifying args for the proxy command.", nullptr},
    {strVec, 0, SENSSUBCMD,
     "Optional parameter specifying the command to be sent to proxy for data.", nullptr},
    {strVec, 0, SENSRESTRICT,
     "Optional parameter that restrics this sensor to a node or node class.", nullptr},
};

const ParamDef SensorDefaultConfig::blasterDefinition[2] = {
    {strVec, 0, BLASTERTYPE, "Type of blaster to be used (default: metric).", nullptr},
    {intVec, 0, BLASTERPERIOD, "Period in microseconds of the blaster sensor.", nullptr},
};

const ParamDef SensorDefaultConfig::velmarSensorsDefinition[25] = {
    {strVec, 0, RELEASE, "Version and release number of the associated Velmar software.",
     nullptr},
    {strVec, 'N', HOSTNAME, "Optional hostname to be used instead of the configured Linux hostname",
     nullptr},
    {flag, 'd', DAEMONIZE, "Daemonize (put in background)", nullptr},
    {flag, 'F', MONREMOTEFS,
     "Monitor mounted remote filesystems in addition to the local filesystems", nullptr},
    {strVec, 'I', IPFIXIF, "Interface/address used for outgoing IPFIX traffic. Default: any.",
     nullptr},
    {strVec, 'L', LOGFILE,
     "Path and name of logfile, or stdout or stderr. Default: "
     "/var/log/velmar/VelmarSensors.log.",
     nullptr},
    {strVec, 'V', LOGLEVEL, "Log file level. Must be debug, info, warning, error", nullptr},
    {flag, 'p', DELAY_INITIAL_POLL, "Delay the initial poll of sensors with longer intervals",
     nullptr},
    {intVec, 0, SENSORTCPTIMEOUT,
     "Sensor socket timeout in seconds. Default: 60 - defined in SensorCtrl", nullptr},
    {strVec, 'R', PIDDIR, "Path to the directory where the PID file is stored.", nullptr},
    {strVec, 'C', CONFIG, "Path and name of the configuration file.", nullptr},
    {strVec, 'E', METACFGDIR, "Path to the directory where meta configuration files are found.",
     nullptr},
    {strVec, 'M', TALLYQ, "Path and name of the TallyqSockRelay executable.", nullptr},
    {strVec, 'G', ADMCMD, "Path and name of the AdmCmdRelay executable.", nullptr},
    {strVec, 'K', CAPQCMD, "Path and name of the CapqRelay executable.", nullptr},
    {strVec, 'P', CEPHRADOS, "Path and name of the CephRadosRelay executable.", nullptr},
    {strVec, 'Q', CEPHMON, "Path and name of the CephMonRelay executable.", nullptr},
    {strVec, 'W', SMBSTAT, "Path and name of the smbstatus executable.", nullptr},
    {strVec, 'X', CTDBSTAT, "Path and name of the ctdb_status_relay executable.", nullptr},
    {strVec, 0, COLCAND, "List of collector candidates.", nullptr},
    {intVec, 0, COLREDUNDANCY,
     "Number of collectors that are selected from collector candidates. 0 counts as 1, "
     "a negative number selects all.",
     nullptr},
    {strVec, 0, COLAUTOFED, "Enable or disable automatic federation configuration.", nullptr},
    {paramVec, 0, COLLECTORS, "List of collectors that are actively used.",
     &SensorDefaultConfig::collectorDefStore},
    {paramVec, 0, SENSORS, "List of sensor configurations.", &SensorDefaultConfig::sensorsDefStore},
    {paramVec, 0, BLASTERMODE, "Blaster configuration.", &SensorDefaultConfig::blasterDefStore},
};

ParamDefStore SensorDefaultConfig::collectorDefStore;
ParamDefStore SensorDefaultConfig::sensorsDefStore;
ParamDefStore SensorDefaultConfig::blasterDefStore;
ParamDefStore SensorDefaultConfig::velmarSensorsDefStore;

int SensorDefaultConfig::init_static_flag = 0;

namespace {

struct DefaultSensor {
    const char* name;
    int32_t period;
};

// Period 0 keeps a sensor in the list, switched off.
constexpr DefaultSensor defaultSensors[] = {
    {"CPU", 1},
    {"Load", 1},
    {"Memory", 1},
    {"Network", 1},
    {"Netstat", 10},
    {"Diskstat", 0},
    {"DRIXDisk", 0},
    {"DRIXFileset", 0},
    {"DRIXFilesystem", 1},
    {"DRIXZSDDisk", 1},
    {"DRIXPool", 0},
    {"DRIXPoolIO", 0},
    {"DRIXVFS", 1},
    {"DRIXNode", 0},
    {"DRIXNodeAPI", 0},
    {"DRIXFilesystemAPI", 1},
    {"DRIXWQM", 0},
    {"DRIXWQMFS", 0},
    {"DRIXWQMFSET", 0},
    {"DRIXRPCS", 10},
    {"DRIXFilesetQuota", 0},
    {"Infiniband", 0},
    {"DRIXDiskCap", 0},
    {"DRIXWaiters", 10},
    {"DRIXEventProducer", 60},
    {"DRIXMutex", 0},
    {"DRIXCondvar", 0},
    {"DRIXQoS", 0},
    {"DRIXJZK", 0},
    {"DRIXPlexward", 0},
    {"DRIXHardware", 0},
    {"DRIXvitalq", 30},
};
static_assert(std::size(defaultSensors) == 32, "the default sensor list has 32 entries");

}  // namespace

void SensorDefaultConfig::init_static() {
    if (init_static_flag != 0) return;
    init_static_flag = 1;
    collectorDefStore.putDefArray(std::size(collectorHostPortDefinition),
                                  collectorHostPortDefinition);
    sensorsDefStore.putDefArray(std::size(sensorsDefinition), sensorsDefinition);
    blasterDefStore.putDefArray(std::size(blasterDefinition), blasterDefinition);
    velmarSensorsDefStore.putDefArray(std::size(velmarSensorsDefinition), velmarSensorsDefinition);
}

SensorDefaultConfig::SensorDefaultConfig() {
    init_static();

    collectorValStore.putStr(COLHOST, "");
    collectorValStore.putStr(COLPORT, "4739");
    velmarSensorStore.putStore(COLLECTORS, collectorValStore);

    bool first = true;
    for (const DefaultSensor& s : defaultSensors) {
        sensorValStore.putStr(SENSNAME, s.name);
        sensorValStore.putInt(SENSPERIOD, s.period);
        if (first) {
            velmarSensorStore.putStore(SENSORS, sensorValStore);
            first = false;
        } else {
            velmarSensorStore.appendStore(SENSORS, sensorValStore);
        }
    }

    velmarSensorStore.putStr(RELEASE, VELMAR_VERSION "-" VELMAR_RELEASE);
    velmarSensorStore.putStr(HOSTNAME, "");
    velmarSensorStore.putFlag(DAEMONIZE, true);
    velmarSensorStore.putStr(IPFIXIF, "0.0.0.0");
    velmarSensorStore.putStr(LOGFILE, "/var/log/velmar/VelmarSensors.log");
    velmarSensorStore.putStr(LOGLEVEL, "info");
    velmarSensorStore.putFlag(DELAY_INITIAL_POLL, true);
    velmarSensorStore.putStr(PIDDIR, ".");
    velmarSensorStore.putStr(CONFIG, "/opt/Ostrel/velmar/VelmarSensors.cfg");
    velmarSensorStore.putStr(TALLYQ, "/opt/Ostrel/velmar/TallyqSockRelay");
    velmarSensorStore.putStr(ADMCMD, "/opt/Ostrel/velmar/AdmCmdRelay");
    velmarSensorStore.putStr(CAPQCMD, "/opt/Ostrel/velmar/CapqRelay");
    velmarSensorStore.putStr(CEPHRADOS, "/opt/Ostrel/velmar/CephRadosRelay");
    velmarSensorStore.putStr(CEPHMON, "/opt/Ostrel/velmar/CephMonRelay");
    velmarSensorStore.putStr(SMBSTAT, "");
    velmarSensorStore.putStr(CTDBSTAT, "");
    velmarSensorStore.putStr(COLCAND, "");
    velmarSensorStore.putInt(COLREDUNDANCY, 2);
}

long collectorPortNumber(const std::string& port) {
    if (port.empty()) return -1;
    long n = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return -1;
        n = std::min(n * 10 + (c - '0'), 65536L);
    }
    return n;
}

namespace {

const char BLANKS[] = " \t\r\n";

std::string trimBlanks(const std::string& text) {
    const std::string::size_type first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool isPort(const std::string& port) {
    if (port.empty()) return false;
    if (isAsciiDigit(port[0])) {
        const long n = collectorPortNumber(port);
        return n >= 1 && n <= 65535;
    }
    if (!isAsciiLetter(port[0])) return false;
    for (char c : port) {
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '-') return false;
    }
    return true;
}

bool isHostName(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.back() == '.') name.pop_back();  // a fully qualified name
    if (name.empty() || name.size() > 253) return false;
    std::size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (isAsciiLetter(c) || isAsciiDigit(c) || c == '-' || c == '_') {
            if (++label > 63) return false;
        } else {
            return false;
        }
    }
    return label > 0;
}

bool isHost(const std::string& host) {
    if (host.find(':') == std::string::npos) {
        // The resolver reads a name made of numbers as an IPv4 address in
        // the old forms too ("010.0.0.1" as 8.0.0.1, "99695" as
        // 0.1.133.111); only the dotted-decimal form is taken as one.
        in_addr a4;
        if (inet_aton(host.c_str(), &a4) != 0) return inet_pton(AF_INET, host.c_str(), &a4) == 1;
        return isHostName(host);
    }
    // Only an IPv6 address holds a colon; a zone names an interface.
    const std::string::size_type percent = host.find('%');
    const std::string address = host.substr(0, percent);
    in6_addr a6;
    if (inet_pton(AF_INET6, address.c_str(), &a6) != 1) return false;
    if (percent == std::string::npos) return true;
    const std::string zone = host.substr(percent + 1);
    return !zone.empty() && zone.size() < IF_NAMESIZE && isHostName(zone);
}

}  // namespace

CollectorAddress checkCollectorAddress(const std::string& host, const std::string& port) {
    CollectorAddress a;
    a.host = trimBlanks(host);
    a.port = trimBlanks(port);
    a.hostOk = isHost(a.host);
    a.portOk = isPort(a.port);
    return a;
}

bool checkCollectorPorts(ParamValStore& params, const std::string& path, const Logger& logger) {
    ParamVec* collectors = nullptr;
    if (!params.getStoreVecForUpdate(COLLECTORS, collectors)) return true;
    bool ok = true;
    for (ParamValStore* entry : *collectors) {
        if (entry == nullptr) continue;
        std::string host, port;
        entry->getString(COLHOST, host);
        const bool hasPort = entry->getString(COLPORT, port);
        const CollectorAddress a = checkCollectorAddress(host, port);
        // An entry with no host at all is the built-in one; whether some
        // entry has a host is checked on its own.
        if (!host.empty() && !a.hostOk) {
            logger.logError("Collector host '%s' in %s is not a host name or address!",
                            host.c_str(), path.c_str());
            ok = false;
        }
        if (hasPort && !a.portOk) {
            logger.logError(
                "Collector port '%s' in %s is neither a number from 1 to 65535 nor a service "
                "name!",
                port.c_str(), path.c_str());
            ok = false;
        }
        if (a.hostOk) entry->putStr(COLHOST, a.host);
        if (a.portOk) entry->putStr(COLPORT, a.port);
    }
    return ok;
}

}  // namespace Cfg
