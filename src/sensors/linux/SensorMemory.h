// The "Memory" host sensor: seventeen values of /proc/meminfo.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "AbstractSensor.h"
#include "HostSensorCommon.h"
#include "RowWriter.h"

// The numbers of /proc/meminfo by their key (the text before the ':', as it
// stands). A key met again replaces its earlier value.
typedef std::map<std::string, int64_t, std::less<>> MeminfoValues;
void parseMeminfo(std::string_view text, MeminfoValues& values);

class SensorMemory : public AbstractSensor {
  public:
    static constexpr uint32_t ROW_LEN = 248;

    SensorMemory();
    ~SensorMemory() override;
    static AbstractSensor* generate();

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override { return 0; }
    int32_t shutdown() override;

  private:
    // Fills the value columns; a key the file lacks gives 0.
    void setMemorySensorData(const MeminfoValues& values);

    const RowWriter writer;
    dataSet_t memMetricDataSet;
    char memMetricData[ROW_LEN];
    MeminfoValues values;  // storage reused from sample to sample
    ProcFile inFile;
};
