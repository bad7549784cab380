// The "DiskFree" host sensor: total, used and available space of every local
// filesystem, from one df run per sample, keyed by the mount point; an
// exclude filter on the mount point drops rows.
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

// One filesystem line of `df -k -l -P`. The mount point is a view into the
// parsed text.
struct DfEntry {
    uint64_t total;
    uint64_t used;
    uint64_t available;
    std::string_view mountPoint;
};
// Reads one filesystem line: the filesystem, total, used and available KiB,
// the use percentage, then the mount point, which is the rest of the line so
// that blanks inside it are kept. A filesystem name with blanks is allowed
// too: the sizes are the first three numbers followed by a percentage. False
// for a line of another shape; `entry` is then unspecified.
bool parseDfLine(std::string_view line, DfEntry& entry);
// Every filesystem line of a df output after its header line; malformed
// lines are left out and counted.
void parseDfOutput(std::string_view text, std::vector<DfEntry>& entries, unsigned& skippedLines);

class SensorDiskFree : public AbstractSensor {
  public:
    static constexpr uint16_t MAX_MOUNT_POINT_LEN = 256;
    static constexpr MetricsMetadata metaData[] = {
        ROW_HEADER_NODE,
        ROW_HEADER_SENSOR,
        {"mountPoint", MetricID::mountPoint, DT_STRING, MAX_MOUNT_POINT_LEN, SEMTYPE_IDENTIFIER},
        ROW_HEADER_METRIC_KEY,
        {"df_total", MetricID::df_total, DT_UINT_64, 8, SEMTYPE_QUANTITY},
        {"df_used", MetricID::df_used, DT_UINT_64, 8, SEMTYPE_QUANTITY},
        {"df_free", MetricID::df_free, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    };
    static constexpr uint32_t sensorSize[] = {sizeof metaData / sizeof metaData[0]};
    static constexpr uint32_t ROW_LEN = 392;

    SensorDiskFree();
    ~SensorDiskFree() override;
    static AbstractSensor* generate();

    int32_t init() override;
    // The first sample already yields rows: every value is a level.
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override { return 0; }
    int32_t shutdown() override { return 0; }

  private:
    const RowWriter writer;
    ExcludeFilter exclude;
    dataSet_t dataSet;
    std::vector<char> data;  // ROW_LEN bytes per row; keeps its capacity
    std::string output;      // the tool's output, kept to reuse its buffer
    std::vector<DfEntry> entries;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
