// Reads /proc/diskstats: "major minor name" and then the counters reads
// completed, reads merged, sectors read, ms reading, writes completed, writes
// merged, sectors written, ms writing, I/Os in progress, ms doing I/O and
// weighted ms doing I/O. Linux 4.18 added discard columns and 5.5 flush
// columns after these; they are not read. The file has no header.
#include "SensorDiskstat.h"

#include <cstring>

#include "SensorFactory.h"

namespace {

constexpr uint32_t NUM_METRICS = sizeof SensorDiskstat::diskMetas / sizeof(MetricsMetadata);

enum Column : uint32_t { COL_NODE = 0, COL_SENSOR = 1, COL_NAME = 2, COL_COUNTERS = 4 };

static_assert(rowLength(SensorDiskstat::diskMetas, 0, NUM_METRICS) == SensorDiskstat::ROW_LEN,
              "record length follows the table");
static_assert(COL_COUNTERS + NUM_DISK_COUNTERS == NUM_METRICS, "one column per counter");
static_assert(columnOffset(SensorDiskstat::diskMetas, COL_COUNTERS) == 120, "");

// Counter indexes of the I/O test: reads and writes completed, merged and
// sectors. Times and in-progress counts play no part.
enum : int { RD_IOS = 0, RD_MERGED = 1, RD_SECT = 2, WR_IOS = 4, WR_MERGED = 5, WR_SECT = 6 };

const char* const PROC_DISKSTATS = "/proc/diskstats";

}  // namespace

bool SensorDiskstat::excludeBlockMajor(unsigned major) {
    return major == 1 || major == 7 || major == 11 || major == 253;
}

void parseDiskstats(std::string_view text, DiskstatTable& table) {
    table.entries.clear();
    table.skippedLines = 0;
    std::string_view line;
    while (ProcText::nextLine(text, line)) {
        uint32_t major = 0, minor = 0;
        if (!ProcText::readU32(line, major) || !ProcText::readU32(line, minor)) {
            std::string_view blank = line;
            ProcText::skipSpace(blank);
            if (!blank.empty()) ++table.skippedLines;
            continue;
        }
        if (SensorDiskstat::excludeBlockMajor(major)) continue;
        DiskstatEntry entry;
        entry.name = ProcText::readWord(line);
        int i = 0;
        while (i < NUM_DISK_COUNTERS && ProcText::readU64(line, entry.counters[i])) ++i;
        if (entry.name.empty() || i < NUM_DISK_COUNTERS) {
            ++table.skippedLines;
            continue;
        }
        const uint64_t* c = entry.counters;
        if ((c[RD_IOS] | c[RD_MERGED] | c[RD_SECT] | c[WR_IOS] | c[WR_MERGED] | c[WR_SECT]) == 0) {
            continue;
        }
        table.entries.push_back(entry);
    }
}

SensorDiskstat::SensorDiskstat()
    : AbstractSensor(SensorID::Diskstat, diskMetas, NUM_METRICS, sensorSize, 1, 1000000),
      writer(diskMetas, NUM_METRICS),
      procDiskFile(PROC_DISKSTATS),
      nodeID(0) {
    std::memset(nodeName, 0, sizeof nodeName);
    diskMetricDataSet = {0, ROW_LEN, nullptr};
}

SensorDiskstat::~SensorDiskstat() { procDiskFile.close(); }

AbstractSensor* SensorDiskstat::generate() { return new SensorDiskstat(); }

int32_t SensorDiskstat::init() {
    nodeID = getNodeID(nodeName, ROW_NODE_LEN);
    return procDiskFile.open() ? 0 : -1;
}

const dataSet_t* SensorDiskstat::getMetricData() {
    diskMetricDataSet.numSets = 0;
    unsigned count = 0;
    if (parseInputFile(count)) {
        diskMetricDataSet.setLength = ROW_LEN;
        diskMetricDataSet.data = diskMetricData.data();
        diskMetricDataSet.numSets = count;
    }
    return &diskMetricDataSet;
}

bool SensorDiskstat::parseInputFile(unsigned& count) {
    diskMetricData.clear();
    count = 0;
    std::string_view text;
    if (!procDiskFile.read(text)) {
        log->logError("Could not read from %s", PROC_DISKSTATS);
        return false;
    }
    parseDiskstats(text, table);
    if (table.skippedLines != 0) {
        log->logWarning("Skipped %u malformed lines of %s", table.skippedLines, PROC_DISKSTATS);
    }
    diskMetricData.resize(table.entries.size() * ROW_LEN);
    for (const DiskstatEntry& entry : table.entries) {
        char* row = diskMetricData.data() + count * ROW_LEN;
        writer.putField(row, COL_NODE, nodeName);
        writer.putString(row, COL_SENSOR, getName().c_str());
        // Names longer than 7 characters are cut, so a partition may share
        // its disk's name and key: the field width is part of the wire format.
        writer.putString(row, COL_NAME, entry.name);
        writer.putKeyFor(row, nodeID, SensorID::Diskstat);
        for (int i = 0; i < NUM_DISK_COUNTERS; ++i) {
            writer.putNumber(row, COL_COUNTERS + i, entry.counters[i]);
        }
        ++count;
    }
    return true;
}

int32_t SensorDiskstat::shutdown() {
    procDiskFile.close();
    return 0;
}

static RegisterSensorGenerator<SensorDiskstat> registerSensorDiskstat(SensorID::Diskstat,
                                                                      SensorDiskstat::generate);
