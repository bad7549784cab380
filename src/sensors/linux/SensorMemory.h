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

#include "HostSensorCommon.h"
#include "ProcRowSensor.h"

// The numbers of /proc/meminfo by their key (the text before the ':', as it
// stands). A key met again replaces its earlier value.
typedef std::map<std::string, int64_t, std::less<>> MeminfoValues;
void parseMeminfo(std::string_view text, MeminfoValues& values);

class SensorMemory : public ProcRowSensor<248> {
  public:
    SensorMemory();
    static AbstractSensor* generate();

    const dataSet_t* getMetricData() override;
};
