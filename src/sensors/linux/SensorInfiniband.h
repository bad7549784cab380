// The "Infiniband" host sensor: the sixteen standard counters of every active
// Infiniband port, as raw running totals, keyed by "<device>_port_<n>". Which
// ports are active it learns from ibstatus at every sample; the counters come
// from the port's counter files in sysfs.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AbstractSensor.h"
#include "HostSensorCommon.h"
#include "RowWriter.h"
#include "hostMetricIDs.h"

// Active ports: (device name, port number) to the port name, in device name
// order, then port number order.
typedef std::map<std::pair<std::string, uint32_t>, std::string> ibdev2netdevMap_t;

// What one ibstatus output shows.
struct IbStatus {
    bool deviceFound = false;
    std::vector<std::string> devices;  // the port name of every device line, in order
    ibdev2netdevMap_t active;          // ports whose state line reads "4: ACTIVE"
};
// Reads an ibstatus output. Two line shapes count: "Infiniband device 'D'
// port N status:" opens a port, and a following "<tab>state: 4: ACTIVE"
// marks it active (any run of blanks and tabs may stand between the parts).
// Everything else is ignored; a line is looked at up to its 255th character.
void parseIbstatus(std::string_view text, IbStatus& status);

// A counter file's value: one unsigned decimal number.
bool parseIbCounter(std::string_view text, uint64_t& value);

class SensorInfiniband : public AbstractSensor {
  public:
    static constexpr uint16_t PORT_NAME_LEN = 32;
    static constexpr int NUM_COUNTERS = 16;
    static constexpr uint32_t ROW_LEN = 272;

    SensorInfiniband();
    ~SensorInfiniband() override;
    static AbstractSensor* generate();

    // A first discovery; -1 when the tool cannot run or shows no device.
    int32_t init() override;
    const dataSet_t* getMetricData() override;
    // -1 while no port is active.
    int32_t getStatus() override { return ibMap.empty() ? -1 : 0; }
    int32_t shutdown() override { return 0; }

    // Rebuilds ibMap from the tool's output. True when the output showed at
    // least one device, active or not; on failure ibMap is left as it was.
    bool populateIBDevMap();

    // Reads the counter file named by pathTmpl (a format with %s for the
    // device and %u for the port, completed with the file name) below the
    // platform root, and stores its value big-endian in *valPtr. False, with
    // *valPtr untouched, when the file cannot be read or holds no number.
    static bool getIBCounter(const std::string& ibDev, uint32_t port, const std::string& pathTmpl,
                             uint64_t* valPtr);

    const ibdev2netdevMap_t& ports() const { return ibMap; }

  private:
    const RowWriter writer;
    dataSet_t ibMetricDataSet;
    std::vector<char> ibMetricData;  // ROW_LEN bytes per row; keeps its capacity
    ibdev2netdevMap_t ibMap;
    IbStatus status;     // the last parse, kept to reuse its storage
    std::string output;  // the tool's output, likewise
    char nodeName[ROW_NODE_LEN];
    uint32_t nodeID;
};
