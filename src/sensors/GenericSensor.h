// A sensor whose metrics are defined by a meta-file: on every sample it sends
// its sub-command to its proxy program over the shared GenericStub channel,
// parses the reply with GenericParser and writes one row per record (the key
// strings, the metric key, the converted values).
//
// Built by the sensor list configuration from the meta-file, not by the
// factory; owned by the controller like every sensor. Every virtual operation
// runs on the sensor's own thread; the sensor takes no locks of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "GenericParser.h"
#include "KeySet.h"

class GenericStub;

class GenericSensor : public AbstractSensor {
  public:
    static const std::string NOTSUPPORTED;  // "[NOTSUPPORTED]"
    static const std::string NOKEY;         // "-"

    // metas: the key elements by position (node name, sensor name, own keys),
    // then "metric_key" (id 106), then the value metrics, in host order.
    // sensorSize: one element, the number of rows. The proxy channel is bound
    // by init; the poll period starts at one second.
    GenericSensor(const std::string& sensName, int sensID,
                  const std::vector<MetricsMetadata>& metas,
                  const std::vector<uint32_t>& sensorSize, const std::string& pCmd,
                  const std::string& pArgs, const std::string& sCmd);
    ~GenericSensor() override;

    // 0 when the proxy channel is bound, else -1.
    int32_t init() override;
    // The configured name, not the identity's name.
    const std::string& getName() const override;
    // Never null: a sample without rows has numSets 0.
    const dataSet_t* getMetricData() override;
    // -1 while no channel is bound, else 0.
    int32_t getStatus() override;
    // Releases the channel and the row buffer.
    int32_t shutdown() override;

    // False when the sub-command cannot be sent as one request line.
    static bool validSubCmd(const std::string& sCmd);

  private:
    struct metricInfo {
        std::string name;
        uint32_t type;  // a DataTypeID
        uint32_t len;   // bytes
    };

    // Rows may not need more than this many bytes in one sample.
    static constexpr uint64_t MAX_ROW_BUFFER_BYTES = 64ull * 1024 * 1024;

    // Writes row r of a record that passed the key checks.
    void fillRow(char* row, GenericParser::Record& rec, bool& clean);
    // Writes the value text as the big-endian field of mi; false (nothing
    // written) when the text is no number or out of range for the type.
    static bool convertValue(const metricInfo& mi, const std::string& text, char* field);
    // Logs a data error while the gate is open, and closes it for the pass.
    void dataError(bool& clean, const char* fmt, ...) VELMAR_PRINTF(3, 4);
    // Makes room for n rows; false when that is impossible.
    bool reserveRows(uint32_t n);
    void releaseRows();

    dataSet_t metricDataSet;
    void* metricData;  // malloc'ed rows, freed with the sensor
    KeySet usedHashes;  // metric keys given out in the current sample
    GenericStub* genericStub;
    uint32_t allocatedSets;
    char nodeName[64];
    std::string proxyCmd;
    std::string proxyArgs;
    std::string subCmd;
    std::string sensorName;
    std::map<std::string, uint32_t> posMap;  // metric name -> offset in a row
    std::vector<metricInfo> metrics;
    size_t metricKeyPos;
    GenericParser gp;
    bool dataPrevReadOK;
    bool sensorSupported;
};
