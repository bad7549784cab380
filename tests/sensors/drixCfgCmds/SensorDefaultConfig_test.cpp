#include "SensorDefaultConfig.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "CfgFileParser.h"
#include "Configuration.h"
#include "GuideTables.h"
#include "Logger.h"

namespace {

using Cfg::CfgFileParser;
using Cfg::ParamValStore;
using Cfg::ParamVec;
using Cfg::SensorDefaultConfig;

TEST(SensorDefaultConfig, TopLevelDefaults) {
    SensorDefaultConfig d;
    const ParamValStore& s = d.velmarSensorStore;
    std::vector<std::string> names;
    for (const auto& p : s.getParams()) names.push_back(p.first);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "admcmd", "capqcmd", "cephMon", "cephRados", "colCandidates",
                         "colRedundancy", "collectors", "config", "ctdbstat", "daemonize",
                         "delay_initial_poll", "hostname", "ipfixinterface", "logfile",
                         "loglevel", "piddir", "release", "sensors", "smbstat", "tallyq"}));

    std::string str;
    EXPECT_TRUE(s.getString(Cfg::RELEASE, str));
    // The build's revision, as on the daemon's start line.
    EXPECT_EQ(str, "5.2.2-" BUILD_REVISION);
    EXPECT_TRUE(s.getString(Cfg::CONFIG, str));
    EXPECT_EQ(str, "/opt/Ostrel/velmar/VelmarSensors.cfg");
    EXPECT_TRUE(s.getString(Cfg::COLCAND, str));
    EXPECT_EQ(str, "");
    int32_t red = 0;
    EXPECT_TRUE(s.getInt(Cfg::COLREDUNDANCY, red));
    EXPECT_EQ(red, 2);
    bool flag = false;
    EXPECT_TRUE(s.getFlag(Cfg::DAEMONIZE, flag) && flag);

    const ParamVec* cols = nullptr;
    ASSERT_TRUE(s.getParamStoreVec(Cfg::COLLECTORS, cols));
    ASSERT_EQ(cols->size(), 1u);
    EXPECT_TRUE((*cols)[0]->getString(Cfg::COLHOST, str));
    EXPECT_EQ(str, "");
    EXPECT_TRUE((*cols)[0]->getString(Cfg::COLPORT, str));
    EXPECT_EQ(str, "4739");
}

TEST(SensorDefaultConfig, DefaultSensorList) {
    SensorDefaultConfig d;
    const ParamVec* sensors = nullptr;
    ASSERT_TRUE(d.velmarSensorStore.getParamStoreVec(Cfg::SENSORS, sensors));
    ASSERT_EQ(sensors->size(), 32u);
    const char* order[] = {"CPU", "Load", "Memory", "Network", "Netstat", "Diskstat", "DRIXDisk",
                           "DRIXFileset", "DRIXFilesystem", "DRIXZSDDisk", "DRIXPool",
                           "DRIXPoolIO", "DRIXVFS", "DRIXNode", "DRIXNodeAPI",
                           "DRIXFilesystemAPI", "DRIXWQM", "DRIXWQMFS", "DRIXWQMFSET", "DRIXRPCS",
                           "DRIXFilesetQuota", "Infiniband", "DRIXDiskCap", "DRIXWaiters",
                           "DRIXEventProducer", "DRIXMutex", "DRIXCondvar", "DRIXQoS", "DRIXJZK",
                           "DRIXPlexward", "DRIXHardware", "DRIXvitalq"};
    int32_t total = 0;
    for (size_t i = 0; i < 32; ++i) {
        const ParamValStore& e = *(*sensors)[i];
        std::string name;
        int32_t period = -1;
        EXPECT_EQ(e.getParams().size(), 2u);
        EXPECT_TRUE(e.getString(Cfg::SENSNAME, name));
        EXPECT_EQ(name, order[i]);
        EXPECT_TRUE(e.getInt(Cfg::SENSPERIOD, period));
        total += period;
        if (name == "Netstat") {
            EXPECT_EQ(period, 10);
        }
        if (name == "DRIXEventProducer") {
            EXPECT_EQ(period, 60);
        }
    }
    EXPECT_EQ(total, 128);  // catches a mistyped period anywhere in the table
    EXPECT_TRUE(d.sensorValStore == *(*sensors)[31]);
}

TEST(SensorDefaultConfig, SchemaFilledOnceWithOptions) {
    SensorDefaultConfig a;
    SensorDefaultConfig::init_static();
    SensorDefaultConfig b;
    EXPECT_EQ(SensorDefaultConfig::velmarSensorsDefStore.getDefs().size(), 25u);
    EXPECT_EQ(SensorDefaultConfig::sensorsDefStore.getDefs().size(), 8u);
    EXPECT_EQ(SensorDefaultConfig::collectorDefStore.getDefs().size(), 2u);
    EXPECT_EQ(SensorDefaultConfig::blasterDefStore.getDefs().size(), 2u);

    std::string opts;
    SensorDefaultConfig::velmarSensorsDefStore.getOptString(opts);
    EXPECT_EQ(opts, "C:E:FG:I:K:L:M:N:P:Q:R:V:W:X:dp");

    std::ostringstream help;
    SensorDefaultConfig::velmarSensorsDefStore.printHelp(help);
    EXPECT_EQ(help.str(),
              "Options: \n"
              "\t-C: Path and name of the configuration file.\n"
              "\t-E: Path to the directory where meta configuration files are found.\n"
              "\t-F: Monitor mounted remote filesystems in addition to the local filesystems\n"
              "\t-G: Path and name of the AdmCmdRelay executable.\n"
              "\t-I: Interface/address used for outgoing IPFIX traffic. Default: any.\n"
              "\t-K: Path and name of the CapqRelay executable.\n"
              "\t-L: Path and name of logfile, or stdout or stderr. Default: "
              "/var/log/velmar/VelmarSensors.log.\n"
              "\t-M: Path and name of the TallyqSockRelay executable.\n"
              "\t-N: Optional hostname to be used instead of the configured Linux hostname\n"
              "\t-P: Path and name of the CephRadosRelay executable.\n"
              "\t-Q: Path and name of the CephMonRelay executable.\n"
              "\t-R: Path to the directory where the PID file is stored.\n"
              "\t-V: Log file level. Must be debug, info, warning, error\n"
              "\t-W: Path and name of the smbstatus executable.\n"
              "\t-X: Path and name of the ctdb_status_relay executable.\n"
              "\t-d: Daemonize (put in background)\n"
              "\t-p: Delay the initial poll of sensors with longer intervals\n");

    const Cfg::ParamDef* sensors = SensorDefaultConfig::velmarSensorsDefStore.getDefByName("sensors");
    ASSERT_NE(sensors, nullptr);
    EXPECT_EQ(sensors->paramDefMap, &SensorDefaultConfig::sensorsDefStore);
}

TEST(SensorDefaultConfig, WholeDefaultStoreRoundTrips) {
    SensorDefaultConfig d;
    std::ostringstream out;
    CfgFileParser::dumpCfg(out, "", d.velmarSensorStore);
    std::istringstream in(out.str());
    ParamValStore back;
    CfgFileParser p;
    ASSERT_TRUE(p.parse(in, back, SensorDefaultConfig::velmarSensorsDefStore))
        << "line " << p.getLineNo() << "\n"
        << out.str();
    EXPECT_TRUE(back == d.velmarSensorStore);
}

TEST(SensorDefaultConfig, FileOverDefaultsChangesOnlyWhatItSets) {
    SensorDefaultConfig d;
    ParamValStore s(d.velmarSensorStore);
    std::istringstream in("loglevel = \"debug\"\n");
    CfgFileParser p;
    ASSERT_TRUE(p.parse(in, s, SensorDefaultConfig::velmarSensorsDefStore));
    EXPECT_FALSE(s == d.velmarSensorStore);
    ASSERT_TRUE(s.putStr(Cfg::LOGLEVEL, "info"));
    EXPECT_TRUE(s == d.velmarSensorStore);

    // Flags take no argument on the command line; -C takes one, also attached.
    Cfg::Configuration cfg(SensorDefaultConfig::velmarSensorsDefStore, d.velmarSensorStore);
    std::vector<std::string> args = {"cvxsensors", "-F", "-d", "-p", "-C/x.cfg", "-V", "debug"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ASSERT_TRUE(cfg.parseArgs(static_cast<int>(args.size()), argv.data(), nullptr));
    bool f = false;
    std::string str;
    EXPECT_TRUE(cfg.params.getFlag(Cfg::MONREMOTEFS, f) && f);
    EXPECT_TRUE(cfg.params.getString(Cfg::CONFIG, str));
    EXPECT_EQ(str, "/x.cfg");
    EXPECT_EQ(Cfg::Configuration::getKnownParam(static_cast<int>(args.size()), argv.data(), "-C",
                                                "default"),
              "/x.cfg");
    EXPECT_TRUE(cfg.params.getString(Cfg::LOGLEVEL, str));
    EXPECT_EQ(str, "debug");
}

// The guide's key table holds every key of the schema and no other, each
// with the schema's type and option letter and, for the top-level values,
// the built-in default; a key added to the schema fails here until it is
// described.
TEST(SensorDefaultConfig, GuideKeyTableFollowsTheSchema) {
    SensorDefaultConfig d;
    const ParamValStore& values = d.velmarSensorStore;
    auto typeName = [](Cfg::ParamType t) {
        return t == Cfg::flag     ? "flag"
               : t == Cfg::intVec ? "integer"
               : t == Cfg::strVec ? "string"
                                  : "list";
    };
    // Row cells by key: type, option, default.
    std::map<std::string, std::vector<std::string>> expected;
    for (const auto& [name, def] : SensorDefaultConfig::velmarSensorsDefStore.getDefs()) {
        std::string option = def->cmdOption ? std::string("`-") + char(def->cmdOption) + "`" : "";
        std::string value = "none";
        bool flag;
        int32_t number;
        std::string text;
        if (def->type == Cfg::paramVec)
            value = "";  // described in words, not checked
        else if (values.getFlag(name, flag))
            value = flag ? "`T`" : "`F`";
        else if (values.getInt(name, number))
            value = "`" + std::to_string(number) + "`";
        else if (values.getString(name, text))
            value = "`\"" + text + "\"`";
        expected["`" + name + "`"] = {typeName(def->type), option, value};
        if (def->paramDefMap == nullptr) continue;
        for (const auto& [inner, innerDef] : def->paramDefMap->getDefs())
            expected["`" + name + "." + inner + "`"] = {typeName(innerDef->type), "", ""};
    }
    std::map<std::string, std::vector<std::string>> documented;
    for (const std::vector<std::string>& row : guide::tableRows("### Keys")) {
        ASSERT_EQ(row.size(), 5u) << row[0];
        // The default of a list and of a list entry's key is described, not checked.
        const bool described = row[1] == "list" || row[0].find('.') != std::string::npos;
        documented[row[0]] = {row[1], row[2], described ? "" : row[3]};
    }
    for (const auto& [key, cells] : expected) EXPECT_EQ(documented[key], cells) << key;
    for (const auto& [key, cells] : documented)
        EXPECT_EQ(expected.count(key), 1u) << key << " is not a configuration key";
}

// The collector address rule shared by the daemon and the tools.
TEST(CollectorAddressRule, PortsAndHosts) {
    for (const char* port : {"4739", "1", "65535", "04739", " 4739\t", "ipfix", "ipfix-tls2"})
        EXPECT_TRUE(Cfg::checkCollectorAddress("h", port).portOk) << "'" << port << "'";
    for (const char* port : {"", "  ",                // the caller fills in a default, or refuses
                             "0", "65536",            // no port, and port 0 through the resolver
                             " 99695", "+120249",     // the resolver would reach 34159, 54713
                             "+4739", "-1", "47 39",  // a sign, an inner blank
                             "4739x", "2ipfix", "ip_fix",  // a service name starts with a letter
                             "99999999999999999999999"})
        EXPECT_FALSE(Cfg::checkCollectorAddress("h", port).portOk) << "'" << port << "'";
    const std::string label = std::string(63, 'a') + ".";
    const std::string longest = label + label + label + std::string(61, 'd');  // 253
    for (const std::string& host :
         {std::string("c1"), std::string("collector-1.example.org."), std::string("ipfix_col"),
          std::string(" 10.0.0.1 "), std::string("::1"), std::string("fe80::1%eth0"), longest})
        EXPECT_TRUE(Cfg::checkCollectorAddress(host, "4739").hostOk) << "'" << host << "'";
    for (const std::string& host :
         {std::string(""), std::string("10.0.0.1,10.0.0.2"),  // a list written as one host
          std::string("a b"), std::string("a\x01") + "b", std::string("h\xc3\xa9"),
          std::string("a..b"), std::string(".a"), std::string(64, 'a'), longest + "d",
          std::string("[::1]"), std::string("::g"), std::string("fe80::1%"),
          std::string("fe80::1%a b"),
          // The resolver would reach 8.0.0.1, 0.1.133.111, 127.0.0.1, 0.0.0.1.
          std::string("010.0.0.1"), std::string("99695"), std::string("0x7f.1"),
          std::string("1")})
        EXPECT_FALSE(Cfg::checkCollectorAddress(host, "4739").hostOk) << "'" << host << "'";
    const Cfg::CollectorAddress a = Cfg::checkCollectorAddress("\t c1 ", " 04739\n");
    EXPECT_EQ(a.host + "|" + a.port, "c1|04739");
}

// Keeps the text of every error.
class ErrorLog : public Logger {
  public:
    mutable std::vector<std::string> errors;
    void logDebug(const char*, ...) const override {}
    void logInfo(const char*, ...) const override {}
    void logWarning(const char*, ...) const override {}
    void logError(const char* fmt, ...) const override {
        VELMAR_FORMAT_LOG_ARGS(buf);
        errors.push_back(buf);
    }
    void logFatalAndStop(const char*, ...) const override {}
};

// The daemon connects with what its check read: "4739 " would go to the
// resolver as a service name that does not exist.
TEST(CollectorAddressRule, TheDaemonsCheckLeavesAcceptedValuesTrimmed) {
    SensorDefaultConfig d;
    ParamValStore s(d.velmarSensorStore);
    std::istringstream in(
        "collectors = { host = \" c1\" port = \"4739 \" }, { host = \"\" port = \"4739\" },\n"
        "  { host = \"c2\" port = \"+1\" }, { host = \"a b\" port = \"ipfix\" }\n");
    CfgFileParser p;
    ASSERT_TRUE(p.parse(in, s, SensorDefaultConfig::velmarSensorsDefStore));
    ErrorLog log;
    EXPECT_FALSE(Cfg::checkCollectorPorts(s, "x.cfg", log));
    EXPECT_EQ(log.errors,
              (std::vector<std::string>{
                  "Collector port '+1' in x.cfg is neither a number from 1 to 65535 nor a service "
                  "name!",
                  "Collector host 'a b' in x.cfg is not a host name or address!"}));
    const ParamVec* list = nullptr;
    ASSERT_TRUE(s.getParamStoreVec(Cfg::COLLECTORS, list));
    std::vector<std::string> entries;
    for (const ParamValStore* e : *list) {
        std::string host, port;
        e->getString(Cfg::COLHOST, host);
        e->getString(Cfg::COLPORT, port);
        entries.push_back(host + "|" + port);
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"c1|4739", "|4739", "c2|+1", "a b|ipfix"}));
}

}  // namespace
