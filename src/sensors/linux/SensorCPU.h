// The "CPU" host sensor: shares of the elapsed CPU time from /proc/stat.
//
// Made by the factory and owned by the controller's block for it; every
// operation but the constructor runs on the sensor's own thread, and it takes
// no locks.
#pragma once

#include <cstdint>
#include <string_view>

#include "HostSensorCommon.h"
#include "ProcRowSensor.h"

// Time columns of the aggregate "cpu " line: user, nice, system, idle,
// iowait, irq, softirq, steal, guest, guest_nice.
constexpr int NUM_CPU_VALS = 10;

// Running totals read from /proc/stat. The parser overwrites only what the
// text holds: without a "cpu " line the time columns keep their values, and
// so do the interrupt and context-switch totals without their lines.
struct ProcStatCounters {
    uint64_t cpu[NUM_CPU_VALS];
    uint64_t intr;
    uint64_t ctxt;
};
void parseProcStat(std::string_view text, ProcStatCounters& counters);

class SensorCPU : public ProcRowSensor<168> {
  public:
    SensorCPU();
    static AbstractSensor* generate();

    // The first sample after construction only records the counters.
    const dataSet_t* getMetricData() override;

  private:
    // Turns the counters just read into the record's shares and moves them
    // into cpuDataPrev. False when no time elapsed between the samples.
    bool computeDeltaAndStoreResults();

    uint64_t cpuDataPrev[NUM_CPU_VALS];
    ProcStatCounters current;  // cpuDataCurr, intrCurr and ctxtCurr
};
