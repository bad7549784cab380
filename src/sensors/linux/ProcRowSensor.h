// The shape of the host sensors that turn one /proc file into one row (CPU,
// memory, load): the file held open from init to shutdown, the row's node,
// sensor and key columns written once by init, and one data set pointing at
// the row. The derived sensor reads the file and fills the value columns.
//
// Made by the factory as part of a derived sensor and owned by the
// controller block that runs it; every operation runs on the sensor's own
// thread.
#pragma once

#include <cstdint>
#include <cstring>

#include "AbstractSensor.h"
#include "HostSensorCommon.h"
#include "RowWriter.h"

template <uint32_t RowLen>
class ProcRowSensor : public AbstractSensor {
  public:
    static constexpr uint32_t ROW_LEN = RowLen;

    ~ProcRowSensor() override { inFile.close(); }

    // Writes the row's node, sensor and key columns (the first two columns
    // and the key of the table); 0 when the file opened, else -1.
    int32_t init() override {
        char node[ROW_NODE_LEN];
        const uint32_t nodeID = getNodeID(node, ROW_NODE_LEN);
        writer.putField(row, 0, node);
        writer.putString(row, 1, getName().c_str());
        writer.putKeyFor(row, nodeID, static_cast<uint16_t>(sensorID));
        return inFile.open() ? 0 : -1;
    }
    int32_t getStatus() override { return 0; }
    int32_t shutdown() override {
        inFile.close();
        return 0;
    }

  protected:
    // A sensor polled every second with one virtual sensor, reading `path`.
    ProcRowSensor(SensorID::SensorID id, const MetricsMetadata* metas, uint32_t numMetas,
                  const uint32_t* sensorSize, const char* path)
        : AbstractSensor(id, metas, numMetas, sensorSize, 1, 1000000),
          writer(metas, numMetas),
          dataSet{1, ROW_LEN, row},
          inFile(path) {
        std::memset(row, 0, sizeof row);
    }

    // Set once by the constructor.
    const RowWriter writer;
    // Touched by the sensor's thread only.
    dataSet_t dataSet;
    char row[ROW_LEN];
    ProcFile inFile;
};
