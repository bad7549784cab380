// The controller's record of one sensor: the sensor itself, its thread's
// queue, the controller's view of its run state and outstanding requests, its
// IPFIX templates (one metadata template, one metric template per virtual
// sensor) and which collector connection has received which virtual sensor's
// templates.
//
// Owned by the controller (SensorCtrl::sensors); the block owns its sensor.
// Built on the main thread while the
// controller adds sensors; afterwards every member is touched by the
// controller thread only, except that the reloading thread reads `sensor`.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "AbstractSensor.h"
#include "IPFIXTemplSet.h"
#include "definitions.h"
#include "sensorProto.h"

class Socket;

// One collector connection and one virtual sensor; ordered by socket, then
// by index.
struct TmplSentKey_t {
    const Socket* socket;
    uint64_t virtSensor;

    bool operator<(const TmplSentKey_t& other) const {
        if (socket != other.socket) return std::less<const Socket*>()(socket, other.socket);
        return virtSensor < other.virtSensor;
    }
};

class SensorCtrlBlock {
  public:
    // Takes a new identifier for the metadata template, then one per virtual
    // sensor, in order.
    SensorCtrlBlock(AbstractSensor* sensor, sensorQueue_t* queue);
    // A block without sensor or queue: a metadata template from metaDef and
    // one metric template from metricDef, each with a new identifier.
    SensorCtrlBlock(const std::vector<FieldSpecifier>* metaDef,
                    const std::vector<FieldSpecifier>* metricDef);
    // Deletes the sensor, if there is one.
    ~SensorCtrlBlock();
    SensorCtrlBlock(const SensorCtrlBlock&) = delete;
    SensorCtrlBlock& operator=(const SensorCtrlBlock&) = delete;

    // Whether `socket` has received virtual sensor v's templates on its
    // current connection; an absent entry is created as false.
    bool isTemplateSent(const Socket* socket, uint32_t virtualSensor);
    void setTemplateSent(const Socket* socket, uint32_t virtualSensor, bool sent);
    // Forgets every entry of `socket`: its next connection gets every
    // template again.
    void removeConnectionStatus(const Socket* socket);

    AbstractSensor* sensor;
    sensorQueue_t* sensorQueue;  // not owned; null until the thread registers
    sensorStatus status;
    IPFIXTemplSet metaMetricsTemplate;
    std::vector<IPFIXTemplSet> metricsTemplate;  // one per virtual sensor
    uint32_t dataReqsOut;                        // data requests not yet answered
    // Requests of any kind pushed to the sensor thread and not yet answered.
    // While it is not 0 the thread may be inside the sensor, which must then
    // not be freed.
    uint32_t repliesOut;
    // A status request is waiting for its answer: a sensor stuck in its
    // sample gets no second one, so they cannot pile up in its queue.
    bool statusReqOut = false;
    // Per virtual sensor: the refusal of its sample (templates or rows that
    // cannot be exported) was logged and no sample was exported since.
    std::vector<bool> refusalLogged;
    sensorRunState runState;
    std::map<TmplSentKey_t, bool> templateSent;
};
