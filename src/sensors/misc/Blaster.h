// The metric blaster, a synthetic load-test sensor registered as "Blaster":
// every sample yields 20 rows, "B0000" to "B0019", whose ten numbers a0..a9
// move at each sample. Blaster mode runs it back to back at the configured
// pace; VELMAR_BLASTER_MAXCOUNTER (read at construction) stops it after that
// many samples when it holds a number other than 0.
//
// Owned by the controller's block for it. Every virtual operation is called
// only on the sensor's own thread; the controller reads the rows between a
// data reply and the next request. The generator state is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>

#include "AbstractSensor.h"
#include "definitions.h"

class Blaster : public AbstractSensor {
  public:
    static AbstractSensor* generate();

    Blaster();
    ~Blaster() override;

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

    static constexpr uint32_t NUM_SETS = 20;
    static constexpr std::size_t BLAST_NAME_LEN = 8;

    // One row. In blastNetByteOrder the numbers are big-endian and the metric
    // key is in host order; in blastMetricData only a0..a9 are used, in host
    // order. Every field falls on its natural alignment: no padding.
    struct BlastData {
        char nodeName[64];
        char sensorName[36];
        char blastID[BLAST_NAME_LEN];
        MetricKey metricKey;
        uint8_t a0;
        uint8_t a1;
        uint16_t a2;
        uint32_t a3;
        uint64_t a4;
        uint64_t a5;
        uint32_t a6;
        float a7;
        uint32_t a8;
        uint32_t a9;
    };

    // The pseudo-random state all Blaster objects of the process draw from
    // (starts at 1; init does not reset it). For tests and diagnostics.
    static int64_t generatorState();
    static void setGeneratorState(int64_t state);

  private:
    // Touched by the sensor's own thread only.
    dataSet_t blastMetricDataSet;
    BlastData blastMetricData[NUM_SETS];    // working values
    BlastData blastNetByteOrder[NUM_SETS];  // the rows handed to the controller
    uint64_t counter;
    uint64_t maxCounter;  // 0 = no limit
};

// The sample limit in VELMAR_BLASTER_MAXCOUNTER, read as strtoull does with
// base 0; 0 (no limit) when unset or not a number.
uint64_t blasterMaxCounterFromEnv();
