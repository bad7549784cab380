// The "Network" host sensor: one record per network interface of
// /proc/net/dev, keyed by the interface name, with an optional exclude filter
// "netdev_name=<regex>".
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

constexpr int NUM_NETDEV_COUNTERS = 16;

// One interface line: the name (a view into the parsed text) and its eight
// receive and eight transmit counters.
struct NetDevEntry {
    std::string_view name;
    uint64_t counters[NUM_NETDEV_COUNTERS];
};
struct NetDevTable {
    bool headerOK = false;  // the column header is the one the counters follow
    std::vector<NetDevEntry> entries;
    unsigned skippedLines = 0;  // lines that are not "name: counters"
};
// Fills `table` (emptied first). Counters missing at the end of a line are 0.
void parseNetDev(std::string_view text, NetDevTable& table);

class SensorNetwork : public AbstractSensor {
  public:
    static constexpr uint32_t ROW_LEN = 272;

    SensorNetwork();
    ~SensorNetwork() override;
    static AbstractSensor* generate();

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    // 0 while the file reads cleanly, else -1.
    int32_t getStatus() override { return procNetFile.isClean() ? 0 : -1; }
    int32_t shutdown() override;

  private:
    // One pass over the file; count ends as the number of records.
    bool parseInputFile(unsigned& count);

    const RowWriter writer;
    dataSet_t netMetricDataSet;
    std::vector<char> netMetricData;  // ROW_LEN bytes per record; keeps its capacity
    ProcFile procNetFile;
    ExcludeFilter exclude;
    NetDevTable table;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
