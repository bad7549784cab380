// Runs "/bin/df -k -l -P": sizes in 1024-byte blocks, local filesystems only,
// and the portable format with one line per filesystem after a header line:
// "Filesystem 1024-blocks Used Available Capacity Mounted on". The mount
// point is the last column and may itself hold blanks, so each line is read
// whole rather than as a stream of words.
#include "SensorDiskFree.h"

#include <cstring>

#include "PlatformPaths.h"
#include "SensorFactory.h"
#include "ToolOutput.h"

namespace {

constexpr uint32_t NUM_METRICS = SensorDiskFree::sensorSize[0];
enum Column : uint32_t {
    COL_NODE = 0,
    COL_SENSOR = 1,
    COL_MOUNT = 2,
    COL_TOTAL = 4,
    COL_USED = 5,
    COL_FREE = 6
};

static_assert(rowLength(SensorDiskFree::metaData, 0, NUM_METRICS) == SensorDiskFree::ROW_LEN,
              "record length follows the table");
static_assert(columnOffset(SensorDiskFree::metaData, COL_MOUNT) == 100, "");
static_assert(columnOffset(SensorDiskFree::metaData, COL_TOTAL) == 368, "");

const std::string filter_key = "mountPoint";

const char* const DF_PATH = "/bin/df";
const char* const DF_ARGS[] = {"-k", "-l", "-P"};

// A host with thousands of mounts prints a few hundred KiB.
constexpr size_t MAX_DF_OUTPUT = 8 * 1024 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The word at the front of s, and s advanced past it and the blanks after it.
std::string_view takeWord(std::string_view& s) {
    size_t i = 0;
    while (i < s.size() && !isBlank(s[i])) ++i;
    std::string_view word = s.substr(0, i);
    while (i < s.size() && isBlank(s[i])) ++i;
    s.remove_prefix(i);
    return word;
}

bool toU64(std::string_view word, uint64_t& value) {
    if (word.empty()) return false;
    uint64_t v = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

// df prints "-" for the percentage of a filesystem without blocks.
bool isPercentage(std::string_view word) {
    if (word == "-") return true;
    if (word.size() < 2 || word.back() != '%') return false;
    uint64_t v = 0;
    return toU64(word.substr(0, word.size() - 1), v);
}

}  // namespace

bool parseDfLine(std::string_view line, DfEntry& entry) {
    std::string_view rest = line;
    while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
    if (takeWord(rest).empty()) return false;  // the filesystem
    // A filesystem name with blanks shifts the columns: the sizes start at
    // the first word from which three numbers and a percentage follow.
    while (!rest.empty()) {
        std::string_view probe = rest;
        const std::string_view w1 = takeWord(probe);
        const std::string_view w2 = takeWord(probe);
        const std::string_view w3 = takeWord(probe);
        const std::string_view w4 = takeWord(probe);
        if (toU64(w1, entry.total) && toU64(w2, entry.used) && toU64(w3, entry.available) &&
            isPercentage(w4)) {
            if (probe.empty()) return false;  // no mount point
            entry.mountPoint = probe;
            return true;
        }
        takeWord(rest);
    }
    return false;
}

void parseDfOutput(std::string_view text, std::vector<DfEntry>& entries, unsigned& skippedLines) {
    entries.clear();
    skippedLines = 0;
    std::string_view line;
    if (!ProcText::nextLine(text, line)) return;  // the header
    while (ProcText::nextLine(text, line)) {
        if (line.empty()) continue;
        DfEntry entry;
        if (parseDfLine(line, entry)) {
            entries.push_back(entry);
        } else {
            ++skippedLines;
        }
    }
}

SensorDiskFree::SensorDiskFree()
    : AbstractSensor(SensorID::DiskFree, metaData, NUM_METRICS, sensorSize, 1, 10000000),
      writer(metaData, NUM_METRICS),
      exclude(filter_key.c_str()),
      nodeID(0) {
    std::memset(nodeName, 0, sizeof nodeName);
    dataSet = {0, ROW_LEN, nullptr};
}

SensorDiskFree::~SensorDiskFree() = default;

AbstractSensor* SensorDiskFree::generate() { return new SensorDiskFree(); }

int32_t SensorDiskFree::init() {
    nodeID = getNodeID(nodeName, ROW_NODE_LEN);
    return 0;
}

const dataSet_t* SensorDiskFree::getMetricData() {
    exclude.update(filter, *log);
    data.clear();
    dataSet = {0, ROW_LEN, nullptr};

    const std::string cmd = Platform::path(DF_PATH);
    const std::vector<std::string> argv = {cmd, DF_ARGS[0], DF_ARGS[1], DF_ARGS[2]};
    const ToolResult r = runTool(cmd, argv, toolTimeoutMs(getPollPeriod()), MAX_DF_OUTPUT, output);
    switch (r) {
        case ToolResult::Ok:
            break;
        case ToolResult::NotStarted:
            return &dataSet;
        case ToolResult::TimedOut:
            log->logWarning("%s did not finish in time and was ended", cmd.c_str());
            return &dataSet;
        case ToolResult::ReadError:
            log->logWarning("Could not read the output of %s", cmd.c_str());
            return &dataSet;
        case ToolResult::Truncated:
            log->logWarning("Output of %s longer than %zu bytes; the rest was ignored", cmd.c_str(),
                            MAX_DF_OUTPUT);
            break;
    }

    unsigned skipped = 0;
    parseDfOutput(output, entries, skipped);
    if (skipped != 0)
        log->logDebug("Skipped %u malformed lines of %s output", skipped, cmd.c_str());

    uint32_t rows = 0;
    for (const DfEntry& entry : entries) {
        data.resize(data.size() + ROW_LEN);
        char* row = data.data() + data.size() - ROW_LEN;
        writer.putString(row, COL_MOUNT, entry.mountPoint);
        // The filter sees the mount point as the row holds it: cut, and up to
        // a NUL.
        const char* field = row + writer.offset(COL_MOUNT);
        const std::string_view key(field, strnlen(field, MAX_MOUNT_POINT_LEN));
        if (exclude.excludes(key)) {
            const std::string keyText(key);
            log->logDebug("Data for key %s wasn't used because of filter %s", keyText.c_str(),
                          exclude.pattern().c_str());
            data.resize(data.size() - ROW_LEN);
            continue;
        }
        writer.putField(row, COL_NODE, nodeName);
        writer.putString(row, COL_SENSOR, getName().c_str());
        writer.putKeyFor(row, nodeID, SensorID::DiskFree);
        writer.putNumber(row, COL_TOTAL, entry.total);
        writer.putNumber(row, COL_USED, entry.used);
        writer.putNumber(row, COL_FREE, entry.available);
        ++rows;
    }
    dataSet = {rows, ROW_LEN, data.data()};
    return &dataSet;
}

static RegisterSensorGenerator<SensorDiskFree> registerSensorDiskFree(SensorID::DiskFree,
                                                                      SensorDiskFree::generate);
