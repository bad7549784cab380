// QoS (I/O throttling) statistics of the filesystems whose QoS this node
// manages: per storage pool, QoS class and fileset, one record per listed row
// ("DRIXQoS"). It does not use the filesystem discovery flow: it asks the
// relay which QoS filesystems this node manages ("throtlfslist", refreshed
// about hourly) and then each of them for its statistics over the last period.
//
// Owned by the controller block; every virtual operation is called only on
// the sensor's own thread. The rows stay valid until the next sample.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "CapRecords.h"
#include "CapqChannel.h"
#include "DRIXCapParser.h"
#include "KeySet.h"
#include "RowWriter.h"

class SensorDRIXQoS : public AbstractSensor {
  public:
    // Strings NUL-padded, numbers big-endian, key in host order.
    struct DRIXQoSData {
        char drixClusterName[64];
        char sensorName[36];
        char drixFSName[64];
        char drixPoolName[64];
        char drixQoSClassName[64];
        char drixFilesetName[64];
        MetricKey metricKey;
        uint64_t iops, ioql, qsdl, et, MBs, maxIOPS, maxMBS, nNodes;
    };

    SensorDRIXQoS();
    static AbstractSensor* generate();

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override { return channel == nullptr ? -1 : 0; }
    int32_t shutdown() override;

    // Makes the sensor use `channel` (borrowed) instead of CAPQStub. Call
    // before init.
    void useChannel(CapqChannel* c) { injected = c; }

    static constexpr const char* PKR_NODE_DATA_FILE = "/var/qorm/gen/qormNodeData";
    static constexpr int64_t LIST_REFRESH_SECS = 3600;

  protected:
    // The current time in seconds (a seam for tests).
    virtual int64_t now() const { return static_cast<int64_t>(std::time(nullptr)); }

    // Touched by the sensor's own thread only.
    int64_t lastUpdate;
    int64_t randomOffset = 0;  // 0 to 9, drawn in init

  private:
    bool readNodeData();
    // False when the daemon's stop refused or cut off the listing.
    bool refreshList(int64_t t);
    // Logs the parse error of `tool`'s listing when it is new for `source`
    // (the list, or one filesystem's statistics); forgets it on success.
    void parseError(const std::string& source, const char* tool, const std::string& error);
    std::size_t buildRecords(const std::vector<DRIXCapParser::Row>& rows);

    // Set once by the constructor.
    const RowWriter qosRow;

    // Touched by the sensor's own thread only.
    dataSet_t metricDataSet;
    RecordArray<DRIXQoSData> qosMetricData;
    CapqChannel* channel = nullptr;
    CapqChannel* injected = nullptr;
    CapqStubChannel ownChannel;
    DRIXCapParser drixCapParser;
    std::string drixClusterName;
    std::vector<std::string> drixNodeData;
    std::vector<std::string> qosFsNames;
    // Error text last logged per filesystem, or for the list under "\n".
    std::map<std::string, std::string> lastParseErrors;
    bool lastNoStats = false;  // the previous poll ended with rows but no complete record
    KeySet keys;
    std::mt19937 random;  // the sensor's own: never reseeds the process's generator
};
