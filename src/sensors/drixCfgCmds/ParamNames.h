// Names of the configuration keys, shared by the daemon, its sensors and the
// configuration tools. Several constants share a key text: they name the same
// word in different stores (a collector's "host" and a peer's "host").
//
// Plain character arrays rather than std::string objects: they are constant
// from the start, so code running during static initialisation (sensor
// registration, other static tables) can use them in any order. They convert
// to std::string wherever a name is passed as one.
#pragma once

namespace Cfg {

inline constexpr char RELEASE[] = "release";
inline constexpr char DAEMONIZE[] = "daemonize";
inline constexpr char IPFIXIF[] = "ipfixinterface";
inline constexpr char IPFIXPORT[] = "ipfixport";
inline constexpr char QUERYSOCK[] = "querysocket";
inline constexpr char QUERYIFFB[] = "fallbackqueryinterface";
inline constexpr char QUERYPORTFB[] = "fallbackqueryport";
inline constexpr char QUERYIF[] = "queryinterface";
inline constexpr char QUERYPORT[] = "queryport";
inline constexpr char QUERY2PORT[] = "query2port";
inline constexpr char FEDIF[] = "federationinterface";
inline constexpr char FEDPORT[] = "federationport";
inline constexpr char FEDWKPEERCHECK[] = "federationwkpeercheck";
inline constexpr char FEDPEERTIMEOUT[] = "federationpeertimeout";
inline constexpr char FEDRETRYTIMEOUT[] = "federationretrytimeout";
inline constexpr char IPFIXIPLIST[] = "ipfixiplist";
inline constexpr char IPFIXIPLISTREFRESH[] = "ipfixiplistrefresh";
inline constexpr char LOGFILE[] = "logfile";
inline constexpr char LOGLEVEL[] = "loglevel";
inline constexpr char SENSORTCPTIMEOUT[] = "sensortcptimeout";
inline constexpr char PIDDIR[] = "piddir";
inline constexpr char DATADIR[] = "datadir";
inline constexpr char PEERS[] = "peers";
inline constexpr char DOMAINS[] = "domains";
inline constexpr char CONFIG[] = "config";
inline constexpr char INTSENSOR[] = "internalsensor";
inline constexpr char METACFGDIR[] = "metaCfgdir";
inline constexpr char DELAY_INITIAL_POLL[] = "delay_initial_poll";
inline constexpr char PEERHOST[] = "host";
inline constexpr char PEERPORT[] = "port";
inline constexpr char AGGREGATION[] = "aggregation";
inline constexpr char RAM[] = "ram";
inline constexpr char DURATION[] = "duration";
inline constexpr char FILESIZE[] = "filesize";
inline constexpr char FILES[] = "files";
inline constexpr char HOSTNAME[] = "hostname";
inline constexpr char COLLECTORS[] = "collectors";
inline constexpr char SENSORS[] = "sensors";
inline constexpr char BLASTERMODE[] = "blaster";
inline constexpr char BLASTERTYPE[] = "blastertype";
inline constexpr char BLASTERPERIOD[] = "blasterperiod";
inline constexpr char TALLYQ[] = "tallyq";
inline constexpr char ADMCMD[] = "admcmd";
inline constexpr char CAPQCMD[] = "capqcmd";
inline constexpr char COLCAND[] = "colCandidates";
inline constexpr char COLREDUNDANCY[] = "colRedundancy";
inline constexpr char COLAUTOFED[] = "colAutoFederation";
inline constexpr char MONREMOTEFS[] = "monremotefs";
inline constexpr char CEPHRADOS[] = "cephRados";
inline constexpr char CEPHMON[] = "cephMon";
inline constexpr char SMBSTAT[] = "smbstat";
inline constexpr char CTDBSTAT[] = "ctdbstat";
inline constexpr char COLHOST[] = "host";
inline constexpr char COLPORT[] = "port";
inline constexpr char SENSNAME[] = "name";
inline constexpr char SENSPERIOD[] = "period";
inline constexpr char SENSFILTER[] = "filter";
inline constexpr char SENSTYPE[] = "type";
inline constexpr char SENSPCMD[] = "proxyCmd";
inline constexpr char SENSPARGS[] = "proxyArgs";
inline constexpr char SENSSUBCMD[] = "subcmd";
inline constexpr char SENSRESTRICT[] = "restrict";
inline constexpr char SENSRESTRICTSINGLEPRE[] = "@";
inline constexpr char SENSRESTRICTSINGLEKEY[] = "CLUSTER_PERF_SENSOR";
inline constexpr char KEYELEMS[] = "keyelems";
inline constexpr char PROXYCONF[] = "proxy";
inline constexpr char METRICS[] = "metrics";
inline constexpr char KEYPOS[] = "pos";
inline constexpr char KEYELEM[] = "elem";
inline constexpr char MNAME[] = "name";
inline constexpr char MID[] = "id";
inline constexpr char MTYPE[] = "type";
inline constexpr char MLEN[] = "len";
inline constexpr char MSEMANTIC[] = "semantic";
inline constexpr char SENSORID[] = "sensorID";
inline constexpr char CVXMONITOR[] = "cvxmonitor";
inline constexpr char CVXMCMD[] = "cvxmonitorcmd";
inline constexpr char CVXMCFG[] = "cvxmonitorcfg";

}  // namespace Cfg
