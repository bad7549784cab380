// The "HDDTemp" host sensor: the temperature of each whole IDE or SCSI-class
// disk, one hddtemp run per disk and sample, keyed by the disk's name.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "AbstractSensor.h"
#include "HostSensorCommon.h"
#include "RowWriter.h"
#include "hostMetricIDs.h"

// The disks of a /proc/diskstats text worth asking for a temperature: whole
// disks (SensorHDDTemp::excludeBlock) that completed at least one read, in
// file order. Lines without major, minor, name and read count are skipped.
void listTempDisks(std::string_view diskstats, std::vector<std::string>& names);

// The temperature in a reply of `hddtemp -n`: the leading decimal number of
// its first line (at most 15 characters are looked at). 0 when the reply
// holds no number, a negative one, or one too large for the field: none of
// these is a reading.
uint32_t parseHddTempReply(std::string_view reply);

class SensorHDDTemp : public AbstractSensor {
  public:
    static constexpr uint16_t DISKDEV_NAME_LEN = 8;
    static constexpr MetricsMetadata hddTempMetas[] = {
        ROW_HEADER_NODE,
        ROW_HEADER_SENSOR,
        {"diskdev_name", MetricID::device_name, DT_STRING, DISKDEV_NAME_LEN, SEMTYPE_IDENTIFIER},
        ROW_HEADER_METRIC_KEY,
        {"disk_temp", MetricID::disk_temp, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    };
    static constexpr uint32_t sensorSize[] = {sizeof hddTempMetas / sizeof hddTempMetas[0]};
    static constexpr uint32_t ROW_LEN = 124;

    SensorHDDTemp();
    ~SensorHDDTemp() override;
    static AbstractSensor* generate();

    // Lists the disks and locates the tool, once: disks added later are not
    // seen by this sensor object.
    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override { return 0; }
    int32_t shutdown() override { return 0; }

    // False only for whole disks: major 3 with a minor divisible by 64 and
    // major 8 with a minor divisible by 16. Every other device is left out.
    static bool excludeBlock(uint32_t blockMajor, uint32_t blockMinor);

    const std::vector<std::string>& disks() const { return diskNames; }
    // The tool found by init, empty before.
    const std::string& tool() const { return hddExec; }

  private:
    bool parseInputFile();
    bool findHDDTempExec();
    // One reading; 0 when the disk gives none.
    uint32_t getTemp(const std::string& diskName);

    const RowWriter writer;
    dataSet_t hddTempDataSet;
    std::vector<char> hddTempData;  // ROW_LEN bytes per row; keeps its capacity
    ProcFile procDiskFile;
    std::vector<std::string> diskNames;
    std::string hddExec;  // the tool's path; run with "-n /dev/<disk>"
    std::string reply;    // the last reply, kept to reuse its buffer
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
