// The "Diskstat" host sensor: one record per block device of /proc/diskstats
// with its eleven I/O counters, keyed by the device name.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "AbstractSensor.h"
#include "HostSensorCommon.h"
#include "RowWriter.h"
#include "hostMetricIDs.h"

constexpr int NUM_DISK_COUNTERS = 11;

// One device line that is reported: its name (a view into the parsed text)
// and the first eleven counters after it.
struct DiskstatEntry {
    std::string_view name;
    uint64_t counters[NUM_DISK_COUNTERS];
};
struct DiskstatTable {
    std::vector<DiskstatEntry> entries;
    unsigned skippedLines = 0;  // lines without major, minor, name and eleven numbers
};
// Fills `table` (emptied first), leaving out the excluded majors and devices
// that never read or wrote.
void parseDiskstats(std::string_view text, DiskstatTable& table);

class SensorDiskstat : public AbstractSensor {
  public:
    static constexpr uint16_t DISKDEV_NAME_LEN = 8;
    static constexpr MetricsMetadata diskMetas[] = {
        ROW_HEADER_NODE,
        ROW_HEADER_SENSOR,
        {"diskdev_name", MetricID::device_name, DT_STRING, DISKDEV_NAME_LEN, SEMTYPE_IDENTIFIER},
        ROW_HEADER_METRIC_KEY,
        {"disk_read_ios", MetricID::diskstats_rio, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_read_merged", MetricID::diskstats_rmerge, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_read_sect", MetricID::diskstats_rsect, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_read_time", MetricID::diskstats_ruse, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_write_ios", MetricID::diskstats_wio, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_write_merged", MetricID::diskstats_wmerge, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_write_sect", MetricID::diskstats_wsect, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_write_time", MetricID::diskstats_wuse, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_active_ios", MetricID::diskstats_running, DT_UINT_64, 8, SEMTYPE_QUANTITY},
        {"disk_io_time", MetricID::diskstats_use, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
        {"disk_aveq", MetricID::diskstats_aveq, DT_UINT_64, 8, SEMTYPE_TOTALCOUNTER},
    };
    static constexpr uint32_t sensorSize[] = {sizeof diskMetas / sizeof diskMetas[0]};
    static constexpr uint32_t ROW_LEN = 208;

    SensorDiskstat();
    ~SensorDiskstat() override;
    static AbstractSensor* generate();

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    // 0 while the file reads cleanly, else -1.
    int32_t getStatus() override { return procDiskFile.isClean() ? 0 : -1; }
    int32_t shutdown() override;

    // True for the majors left out: RAM disks (1), loop devices (7), SCSI
    // CD-ROMs (11) and device-mapper volumes (253).
    static bool excludeBlockMajor(unsigned major);

  private:
    // One pass over the file; count ends as the number of records.
    bool parseInputFile(unsigned& count);

    const RowWriter writer;
    dataSet_t diskMetricDataSet;
    std::vector<char> diskMetricData;  // ROW_LEN bytes per record; keeps its capacity
    ProcFile procDiskFile;
    DiskstatTable table;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
