// The "Load" host sensor: the load averages and the number of scheduling
// entities from /proc/loadavg.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <string_view>

#include "HostSensorCommon.h"
#include "ProcRowSensor.h"

// The line "0.52 0.58 0.59 2/1123 45678". Reading stops at the first value
// that cannot be read; it and all later ones stay 0.
struct LoadavgValues {
    double load[3] = {0, 0, 0};
    uint32_t running = 0;
    uint32_t total = 0;
};
LoadavgValues parseLoadavg(std::string_view text);

class SensorLoad : public ProcRowSensor<128> {
  public:
    SensorLoad();
    static AbstractSensor* generate();

    const dataSet_t* getMetricData() override;
};
