// The synthetic top-process sensor of blaster mode: every sample is one
// top-process report over nine made-up processes (proc00 to proc08) whose CPU
// shares follow waveform generators (sine, rectangular, bounded random walk).
//
// Not registered with the factory: the controller constructs it in blaster
// mode when `blastertype` is "top-proc" and owns it. The constructor and
// getMetricDataDef run on the controller's side; every other operation only on
// the sensor's own thread.
#pragma once

#include <cstdint>
#include <vector>

#include "AbstractSensor.h"
#include "IPFIXTopProc.h"
#include "WaveGenerators.h"
#include "definitions.h"

class BlasterTopProc : public AbstractSensor {
  public:
    BlasterTopProc();
    ~BlasterTopProc() override;

    int32_t init() override;
    const std::vector<FieldSpecifier>* getMetricDataDef() const override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

    // The one data row, sent byte for byte: the report records big-endian,
    // the metric key in host order. No padding: every field is naturally
    // aligned.
    struct BTPData {
        char nodeName[64];
        char sensorName[36];
        MetricKey metricKey;
        topReport_t report;
    };

  private:
    // Set once by the constructor.
    const std::vector<FieldSpecifier> topMetricsDef;

    // Touched by the sensor's own thread only (the controller reads the row
    // between a data reply and the next request).
    dataSet_t blastMetricDataSet;
    BTPData blastNetByteOrder[1];
    std::vector<IPFIXTopProcType> processes;  // host order; process i fed by generator i
    std::vector<wave_generator*> generators;  // owned
    uint64_t counter;
    uint64_t maxCounter;  // 0 = no limit
};
