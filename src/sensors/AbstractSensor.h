// The base class of every sensor.
//
// It holds what the controller needs to schedule a sensor and to describe its
// data as IPFIX: identity, poll period, the metric table split into virtual
// sensors (one IPFIX metric template and one data set per sample each), the
// field specifiers of the metadata and metric templates, the metadata rows in
// network order, a filter string and the sensor's own logger.
//
// Ownership: a sensor is made by its generator and handed to the controller,
// whose block for it deletes it. Threads: init, getMetricData, getStatus and
// shutdown are called only on the sensor's own thread (SensorStub). The
// definitions, metadata and data sets built by the constructor never change
// afterwards and are read by the controller thread. The period is written by
// the reloading thread and read by the controller; monRemoteFs is written by
// the reloading thread and read by every sensor thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Logger.h"
#include "definitions.h"
#include "ipfix.h"
#include "sensorIDs.h"

class AbstractSensor {
  public:
    // The metric table is the sensor class's constant table in host order; it
    // is copied, not kept. perVirtSensorCounts holds numVirtSensors counts that
    // split the table's rows among the virtual sensors in order.
    AbstractSensor(SensorID::SensorID sensorID, const MetricsMetadata* metricTable,
                   uint32_t numMetrics, const uint32_t* perVirtSensorCounts,
                   uint32_t numVirtSensors, uint64_t periodInMicroSecs);
    AbstractSensor(const AbstractSensor&) = delete;
    AbstractSensor& operator=(const AbstractSensor&) = delete;

    // 0 on success.
    virtual int32_t init() = 0;
    // SensorID::sensorNames entry of the identity.
    virtual const std::string& getName() const;
    // One data field specifier per metric, in table order (host order).
    virtual const std::vector<FieldSpecifier>* getMetricDataDef() const;
    // One data set per virtual sensor, owned by the sensor and valid until the
    // next call; null when the sample failed (the thread then reports
    // getStatus instead). A sample with nothing to report has numSets 0.
    virtual const dataSet_t* getMetricData() = 0;
    // 0 when the sensor is well.
    virtual int32_t getStatus() = 0;
    virtual int32_t shutdown() = 0;
    virtual ~AbstractSensor();

    SensorID::SensorID getSensorID() const { return sensorID; }
    uint64_t getPollPeriod() const { return periodInMicroSecs.load(std::memory_order_relaxed); }
    void setPollPeriod(uint64_t microSecs) {
        periodInMicroSecs.store(microSecs, std::memory_order_relaxed);
    }
    uint64_t getTimerID() const { return timerID; }
    void setTimerID(uint64_t id) { timerID = id; }

    uint32_t getNumVirtualSensors() const { return numVirtSensors; }
    // Metrics of virtual sensor `index`; 0 for an index past the last.
    uint32_t getNumFields(uint32_t index) const;

    // The five field specifiers of the metadata template.
    const std::vector<FieldSpecifier>* getMetaDataDef() const { return &metaDataDef; }
    // The first of numVirtSensors data sets of 48-byte metadata rows.
    const dataSet_t* getMetaData() const { return metaDataSet.data(); }

    void setFilter(const std::string& value);
    std::string getFilter() const { return filter; }

    // strncpy of at most len bytes (NUL-padding the rest), then a NUL in the
    // last byte when len is not 0: at most len - 1 characters survive.
    static char* safeStrncpy(char* dst, const char* src, size_t len);

    // Fills the len bytes of nodeName with the node name (the configured
    // `hostname`, else the system's host name, else "..unknown-hostname..")
    // cut to len - 1 characters and NUL-padded, and returns FNV1AHash32 over
    // all len bytes. len is at least 21.
    uint32_t getNodeID(char* nodeName, uint32_t len);

    // The cluster name from the "clusterName" line of the filesystem's node
    // configuration file. True at once when clusterName is already set.
    // Failures clear sourceOK and are logged only on the first run or after a
    // success.
    bool getLocalClusterName(std::string& clusterName);

    // Whether sensors also report remote filesystems (configuration key
    // `monremotefs`).
    static std::atomic<bool> monRemoteFs;

    // Node configuration file of the clustered filesystem, reached through the
    // platform path seam.
    static constexpr const char* NODE_CONFIG_FILE = "/var/qorm/gen/qorm.cfg";

  protected:
    // Set once by the constructor, except where noted.
    std::atomic<uint64_t> periodInMicroSecs;  // 0 = not polled by timer
    const SensorID::SensorID sensorID;
    const uint32_t numVirtSensors;
    uint64_t timerID;  // controller thread only; 0 = no timer
    std::vector<FieldSpecifier> metaDataDef;
    std::vector<MetricsMetadata> metaData;  // numbers in network order
    std::vector<uint32_t> perVirtSensorMetaDefSize;
    std::vector<FieldSpecifier> metricsDef;
    std::vector<dataSet_t> metaDataSet;  // point into metaData
    std::string filter;                  // set before the sensor's thread starts

    // A LoggerStub named after the sensor; owned.
    Logger* log;

    // Edge-triggered logging of the source: touched by the sensor's thread only.
    bool firstRun;
    bool sourceOK;
    bool sourcePrevOK;
};
