// The "Netstat" host sensor: TCP sockets by state from /proc/net/tcp, with
// the established connections split into local and remote ones and the bytes
// waiting in their queues.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "AbstractSensor.h"
#include "HostSensorCommon.h"
#include "RowWriter.h"

// Sums over one read of the table.
struct NetstatCounts {
    uint32_t states[12] = {};    // sockets per TCP state; states above 11 are not counted
    uint32_t localEntries = 0;   // established, either end 127.0.0.1 or 0.0.0.0
    uint32_t remoteEntries = 0;  // established, all others
    uint64_t localTx = 0, localRx = 0, remoteTx = 0, remoteRx = 0;
    unsigned skippedLines = 0;  // lines the kernel cannot have written
};
NetstatCounts parseNetTcp(std::string_view text);

// Hex digits after leading white space, up to the first other character;
// 0 without digits, 0xFFFFFFFF when the value does not fit.
uint32_t getIntFromHex(std::string_view hexString);
// An address field "0100007F:0016" as "127.0.0.1" and "22"; both "NULL"
// unless the field holds exactly one ':'.
void parseAddrPort(std::string_view addr_port, std::string& ipaddr, std::string& port);

class SensorNetstat : public AbstractSensor {
  public:
    static constexpr uint32_t ROW_LEN = 168;

    SensorNetstat();
    ~SensorNetstat() override;
    static AbstractSensor* generate();

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    // 0 while the file reads cleanly, else -1.
    int32_t getStatus() override { return procNetstatFile.isClean() ? 0 : -1; }
    int32_t shutdown() override;

  private:
    // One pass over the table; on failure the record keeps its contents.
    bool parseInputFile();

    const RowWriter writer;
    dataSet_t netstatMetricDataSet;
    char netstatMetricData[ROW_LEN];
    ProcFile procNetstatFile;
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
