// The "TopProc" host sensor: every 5 seconds the ten processes that used the
// most CPU time since the previous sample, with their CPU share (per mille of
// one CPU) and resident memory share (per mille of RAM), as one report field
// of ten top-process records.
//
// Registered only when the process-table library can be bound. Made by the
// factory and owned by the controller's block for it; every operation but
// the constructor runs on the sensor's own thread, and it takes no locks.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "AbstractSensor.h"
#include "IPFIXTopProc.h"
#include "ProcMap.h"

// The single row: the common header, then the report.
struct topSensorData_t {
    char nodeName[ROW_NODE_LEN];
    char sensorName[ROW_SENSOR_LEN];
    MetricKey metricKey;
    topReport_t topReport;  // network byte order
};
static_assert(sizeof(topSensorData_t) == 392, "a top-process row is 392 bytes");
static_assert(offsetof(topSensorData_t, metricKey) == 100, "");
static_assert(offsetof(topSensorData_t, topReport) == 112, "");

// Ranks the tasks of two scans taken elapsedUs apart and fills `report` in
// network byte order: the ten largest CPU shares first (equal shares in
// ascending task id), then "(void)" fillers; every record carries the
// interval in clock ticks. Tasks absent from `last` started during the
// interval and are left out. False, leaving `report` untouched, when the
// interval is not positive (the clock stepped back) or ticsPerSec is 0.
bool rankTopProcs(const procInfoMap_t& last, const procInfoMap_t& cur, int64_t elapsedUs,
                  uint32_t ticsPerSec, float memoryScaling, topReport_t& report);

// A share computed in single precision, plus a half added in double, cut to
// 16 bits; values the field cannot hold saturate at 65535.
uint16_t perMille(float product);

class SensorTopProc : public AbstractSensor {
  public:
    static constexpr uint32_t ROW_LEN = sizeof(topSensorData_t);

    SensorTopProc();
    ~SensorTopProc() override;
    static AbstractSensor* generate();

    // Forgets the previous sample: the next one only records the table.
    int32_t init() override;
    // The report field has no length in the metric table; its template field
    // is ten records long.
    const std::vector<FieldSpecifier>* getMetricDataDef() const override;
    const dataSet_t* getMetricData() override;
    // The result of the last table load: 0 or -1.
    int32_t getStatus() override { return status; }
    int32_t shutdown() override { return 0; }

  private:
    const std::vector<FieldSpecifier> topMetricsDef;
    dataSet_t topMetricDataSet;
    topSensorData_t topMetricData;
    int status;
    int debug;  // VELMAR_TOPPROC_DEBUG was set at construction: dump every table
    procInfoMap_t m1, m2;
    procInfoMap_t* curMap;
    procInfoMap_t* lastMap;  // null until the first sample
    timeval lastTime;
    uint32_t ticsPerSec;
    float memoryScaling;  // KiB x memoryScaling = per mille of RAM
};
