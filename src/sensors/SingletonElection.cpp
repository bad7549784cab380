// The singleton election: runs the configuration repository's query tool
// for a `restrict = "@key"` entry and compares the node it names with this
// node's own name. See SingletonElection.h for the contract.
#include "SingletonElection.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ChildChannel.h"
#include "Configuration.h"
#include "LineReader.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"

namespace {

constexpr char KVREG_TOOL[] = "/usr/vnx/qorm/bin/kvreg";
constexpr char NODE_DATA_FILE[] = "/var/qorm/gen/qormNodeData";
constexpr char BLANKS[] = " \n\r\t";

// The query tool and the node data file belong to the filesystem, outside
// this system: bound what they may cost the start.
constexpr int KVREG_TIMEOUT_MS = 10000;
constexpr size_t KVREG_MAX_OUTPUT = 65536;
constexpr size_t NODE_DATA_MAX_LINE = 65536;
// The tool's output is awaited in slices of this length, so that a stop
// request during the start-up is seen soon.
constexpr int KVREG_STOP_CHECK_MS = 100;

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// The key is handed to the tool as one argument, never to a shell; the check
// also keeps option-like or empty keys away from it.
bool validRepositoryKey(const std::string& key) {
    if (key.empty() || key[0] == '-') return false;
    for (char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

enum class QueryResult { Ok, NotRun, TimedOut, Stopped };

// Runs "<tool> vget <key>" with standard error joined to the output and
// collects at most KVREG_MAX_OUTPUT bytes of it (the rest is read and dropped
// so the tool never blocks on a full pipe).
QueryResult runRepositoryQuery(const std::string& tool, const std::string& key,
                               std::string& output) {
    if (SensorCtrl::stopPending()) return QueryResult::Stopped;
    // On the main thread, before the controller runs: the stop is watched
    // here, not by the stop hook.
    ToolChild child(ChildProcess::ErrorOutput::ToOutput, false);
    if (!child.start(tool, {tool, "vget", key})) return QueryResult::NotRun;

    FdIo::Deadline deadline(KVREG_TIMEOUT_MS);
    QueryResult result = QueryResult::Ok;
    char buf[2048];
    for (;;) {
        if (SensorCtrl::stopPending()) {
            result = QueryResult::Stopped;
            break;
        }
        size_t got = 0;
        const int left = deadline.remainingMs();
        const FdIo::IoResult r =
            child.read(buf, sizeof buf, got, std::min(left, KVREG_STOP_CHECK_MS));
        if (r == FdIo::IoResult::Ok) {
            if (output.size() < KVREG_MAX_OUTPUT)
                output.append(buf, std::min(got, KVREG_MAX_OUTPUT - output.size()));
            continue;
        }
        if (r == FdIo::IoResult::TimedOut && !deadline.passed()) continue;
        if (r == FdIo::IoResult::TimedOut) result = QueryResult::TimedOut;
        break;
    }
    // A tool that closed its output may still linger; it gets what is left
    // of the time-out (none at a stop) before it is ended with its group.
    child.end(result == QueryResult::Ok ? deadline.remainingMs() : 0);
    return result;
}

// The tool answers "vget:<key>:<node>..."; the node is the third non-empty
// colon-separated piece.
bool parseRepositoryReply(const std::string& reply, std::string& node) {
    if (reply.compare(0, 5, "vget:") != 0) return false;
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find(':', start);
        if (end == std::string::npos) end = reply.size();
        if (end > start) pieces.push_back(reply.substr(start, end - start));
        start = end + 1;
    }
    if (pieces.size() < 3) return false;
    node = pieces[2];
    return true;
}

// First line of the node data file, at most NODE_DATA_MAX_LINE bytes of it.
bool readFirstLine(const std::string& path, std::string& line) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    LineReader reader(fd, NODE_DATA_MAX_LINE);
    const LineReader::Status status = reader.readLine(line, KVREG_TIMEOUT_MS);
    close(fd);
    if (status != LineReader::Status::Line && status != LineReader::Status::TooLong) line.clear();
    return true;
}

}  // namespace

bool electSingleton(const LoggerStub& log, const std::string& sensorName,
                    const std::string& restrictValue) {
    const LoggerStub* logger = &log;
    const char* n = sensorName.c_str();
    const char* r = restrictValue.c_str();
    logger->logInfo("Sensor %s restrict has singleton value %s", n, r);

    const std::string key = restrictValue.substr(1);
    if (!validRepositoryKey(key)) {
        logger->logError(
            "Sensor %s restrict key is not a valid repository key (letters, digits, '.', '_' "
            "and '-' only): %s",
            n, key.c_str());
        return false;
    }
    const std::string tool = Platform::path(KVREG_TOOL);
    const std::string command = tool + " vget " + key;
    logger->logDebug("Sensor %s singleton query command is: %s", n, command.c_str());

    std::string output;
    const QueryResult run = runRepositoryQuery(tool, key, output);
    if (run == QueryResult::NotRun) {
        logger->logError("Sensor %s failed to run singleton query command: %s", n, command.c_str());
        return false;
    }
    if (run == QueryResult::Stopped) {
        logger->logInfo("Sensor %s singleton query given up: the daemon is stopping", n);
        return false;
    }
    if (run == QueryResult::TimedOut) {
        logger->logError("Sensor %s singleton query command timed out after %d ms: %s", n,
                         KVREG_TIMEOUT_MS, command.c_str());
        return false;
    }
    output = trim(output);
    logger->logDebug("Sensor %s singleton query command returned: %s", n, output.c_str());

    std::string singleton;
    if (!parseRepositoryReply(output, singleton)) {
        logger->logError("Sensor %s could not retrieve valid singleton node from KVR output: %s", n,
                         output.c_str());
        return false;
    }
    logger->logInfo("Sensor %s singleton node from KVR is: %s", n, singleton.c_str());

    std::string localName;
    const std::string dataFile = Platform::path(NODE_DATA_FILE);
    std::string line;
    if (!readFirstLine(dataFile, line)) {
        logger->logError("Sensor %s unable to read DRIX PKR node data file %s", n,
                         dataFile.c_str());
    } else {
        logger->logDebug("Sensor %s PKR node data: %s", n, line.c_str());
        const size_t pos = line.find(":" + singleton + ":");
        if (pos != std::string::npos) {
            localName = singleton;
            logger->logInfo("Sensor %s found singleton node name %s in PKR data (at position: %zu)",
                            n, singleton.c_str(), pos);
        } else {
            logger->logInfo("Sensor %s singleton node name %s not found in PKR data", n,
                            singleton.c_str());
        }
    }

    if (localName.empty()) {
        if (SensorCtrl::config != nullptr)
            SensorCtrl::config->getParamStore().getString(Cfg::HOSTNAME, localName);
        if (!localName.empty())
            logger->logInfo(
                "Sensor %s comparing singleton node name with hostname from config "
                "file: %s",
                n, localName.c_str());
    }
    if (localName.empty()) {
        char host[64];
        if (gethostname(host, sizeof host) == 0) {
            host[sizeof host - 1] = '\0';
            localName = host;
            if (!localName.empty())
                logger->logInfo("Sensor %s comparing singleton node name with system hostname: %s",
                                n, localName.c_str());
        }
    }

    if (!localName.empty() && localName == singleton) {
        logger->logInfo("Sensor %s this node is elected for restrict %s", n, r);
        return true;
    }
    logger->logInfo("Sensor %s this node is not elected for restrict %s", n, r);
    return false;
}
