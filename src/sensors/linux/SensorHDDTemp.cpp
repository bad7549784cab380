// Runs "hddtemp -n /dev/<disk>" once per disk and sample; with -n the tool
// prints the bare number of degrees, and for a disk without a sensor an error
// text. The disks are the whole IDE (major 3, 64 minors per disk) and SCSI
// (major 8, 16 minors per disk) disks listed in /proc/diskstats at init that
// had completed a read, so an idle or empty slot is never asked.
#include "SensorHDDTemp.h"

#include <sys/stat.h>

#include <cstring>

#include "PlatformPaths.h"
#include "SensorFactory.h"
#include "ToolOutput.h"

namespace {

constexpr uint32_t NUM_METRICS = SensorHDDTemp::sensorSize[0];
enum Column : uint32_t { COL_NODE = 0, COL_SENSOR = 1, COL_NAME = 2, COL_TEMP = 4 };

static_assert(rowLength(SensorHDDTemp::hddTempMetas, 0, NUM_METRICS) == SensorHDDTemp::ROW_LEN,
              "record length follows the table");
static_assert(columnOffset(SensorHDDTemp::hddTempMetas, COL_NAME) == 100, "");
static_assert(columnOffset(SensorHDDTemp::hddTempMetas, COL_TEMP) == 120, "");

const char* const diskFile = "/proc/diskstats";
const char* const hddTemp = "hddtemp";
const char* const binDirs[] = {"/usr/sbin/", "/usr/bin/", "/usr/local/bin/"};
const char* const hddExecFlags = "-n";

// A regular file, set-user-ID, readable and executable by its owner (the tool
// needs root to query the drives); group and other bits do not matter.
constexpr mode_t HDDTEMP_MODE_MASK = 0xf940;
constexpr mode_t HDDTEMP_MODE = 0x8940;

// The reply is one number; anything beyond a few lines is not hddtemp's.
constexpr size_t MAX_REPLY = 4096;
// At most this much of the first line is looked at.
constexpr size_t MAX_REPLY_CHARS = 15;

}  // namespace

bool SensorHDDTemp::excludeBlock(uint32_t blockMajor, uint32_t blockMinor) {
    if (blockMajor == 3) return blockMinor % 64 != 0;
    if (blockMajor == 8) return blockMinor % 16 != 0;
    return true;
}

void listTempDisks(std::string_view diskstats, std::vector<std::string>& names) {
    names.clear();
    std::string_view line;
    while (ProcText::nextLine(diskstats, line)) {
        uint32_t major = 0, minor = 0;
        if (!ProcText::readU32(line, major) || !ProcText::readU32(line, minor)) continue;
        if (SensorHDDTemp::excludeBlock(major, minor)) continue;
        const std::string_view name = ProcText::readWord(line);
        uint64_t reads = 0;
        if (name.empty() || !ProcText::readU64(line, reads) || reads == 0) continue;
        // The name becomes part of a device path handed to the tool.
        if (name.find('/') != std::string_view::npos) continue;
        names.emplace_back(name);
    }
}

uint32_t parseHddTempReply(std::string_view reply) {
    std::string_view line;
    if (!ProcText::nextLine(reply, line)) return 0;
    if (line.size() > MAX_REPLY_CHARS) line = line.substr(0, MAX_REPLY_CHARS);
    int64_t degrees = 0;
    if (!ProcText::readI64(line, degrees)) return 0;
    if (degrees <= 0 || degrees > UINT32_MAX) return 0;
    return static_cast<uint32_t>(degrees);
}

SensorHDDTemp::SensorHDDTemp()
    : AbstractSensor(SensorID::HDDTemp, hddTempMetas, NUM_METRICS, sensorSize, 1, 1000000),
      writer(hddTempMetas, NUM_METRICS),
      procDiskFile(diskFile),
      nodeID(0) {
    std::memset(nodeName, 0, sizeof nodeName);
    hddTempDataSet = {0, ROW_LEN, nullptr};
}

SensorHDDTemp::~SensorHDDTemp() = default;

AbstractSensor* SensorHDDTemp::generate() { return new SensorHDDTemp(); }

int32_t SensorHDDTemp::init() {
    nodeID = getNodeID(nodeName, ROW_NODE_LEN);
    procDiskFile.open();
    if (!parseInputFile()) return -1;
    return findHDDTempExec() ? 0 : -1;
}

bool SensorHDDTemp::parseInputFile() {
    diskNames.clear();
    std::string_view text;
    const bool readable = procDiskFile.isClean() && procDiskFile.read(text);
    if (readable) listTempDisks(text, diskNames);
    procDiskFile.close();
    if (!readable) {
        log->logError("Could not read from %s", diskFile);
        return false;
    }
    return true;
}

bool SensorHDDTemp::findHDDTempExec() {
    for (const char* dir : binDirs) {
        const std::string candidate = Platform::path(std::string(dir) + hddTemp);
        struct stat st;
        if (stat(candidate.c_str(), &st) != 0) continue;
        if ((st.st_mode & HDDTEMP_MODE_MASK) != HDDTEMP_MODE) continue;
        hddExec = candidate;
        return true;
    }
    log->logError("Could not find executable for hddtemp.");
    return false;
}

uint32_t SensorHDDTemp::getTemp(const std::string& diskName) {
    const std::vector<std::string> argv = {hddExec, hddExecFlags, "/dev/" + diskName};
    const ToolResult r = runTool(hddExec, argv, toolTimeoutMs(getPollPeriod()), MAX_REPLY, reply);
    if (r == ToolResult::TimedOut) {
        log->logWarning("%s %s /dev/%s did not answer in time and was ended", hddExec.c_str(),
                        hddExecFlags, diskName.c_str());
        return 0;
    }
    // A cut or broken reply still has its first line.
    return r == ToolResult::NotStarted ? 0 : parseHddTempReply(reply);
}

const dataSet_t* SensorHDDTemp::getMetricData() {
    hddTempDataSet.numSets = 0;
    hddTempData.clear();
    uint32_t rows = 0;
    for (const std::string& name : diskNames) {
        const uint32_t t = getTemp(name);
        if (t == 0) continue;
        hddTempData.resize(hddTempData.size() + ROW_LEN);
        char* row = hddTempData.data() + hddTempData.size() - ROW_LEN;
        writer.putField(row, COL_NODE, nodeName);
        writer.putString(row, COL_SENSOR, getName().c_str());
        writer.putString(row, COL_NAME, name.c_str());
        writer.putKeyFor(row, nodeID, SensorID::HDDTemp);
        writer.putNumber(row, COL_TEMP, t);
        ++rows;
    }
    hddTempDataSet = {rows, ROW_LEN, hddTempData.data()};
    return &hddTempDataSet;
}

static RegisterSensorGenerator<SensorHDDTemp> registerSensorHDDTemp(SensorID::HDDTemp,
                                                                    SensorHDDTemp::generate);
