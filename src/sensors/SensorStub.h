// The thread of one sensor. The stub registers its private queue with the
// controller, then serves init, data, status and shutdown requests one at a
// time, answering on the controller queue. It is the only code that calls the
// sensor's virtual operations, so a sensor needs no lock against the
// controller, and a slow sensor delays only its own thread.
//
// Ownership: the controller thread creates stubs through executeSensor; they
// stay in stubList until waitUntilSensorsTerminate joins their threads and
// deletes them. The sensor belongs to the controller's block for it, the
// controller queue to the controller. A stub owns its thread's logger and its
// own queue, and deletes any request still queued when it goes.
//
// Threads: status, the logical clock and the sensor are touched only by the
// stub's thread; stubList only by the controller thread (appends, before it
// serves messages) and by whoever calls waitUntilSensorsTerminate after that.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "AbstractSensor.h"
#include "LoggerStub.h"
#include "Thread.h"
#include "definitions.h"
#include "sensorProto.h"

class SensorStub : public Runnable {
  public:
    // Creates the stub and starts its thread, named after the sensor. With a
    // logical start or step other than 0 every sample is stamped with the
    // logical clock (start + step for the first). 0 on success, -1 with errno
    // set to the cause when the thread could not start.
    static int executeSensor(AbstractSensor& sensor, sensorQueue_t& ctrlQueue,
                             uint64_t logicalTimeStart, uint64_t logicalTimeDelta);

    // Closes every stub's queue, joins its thread (cancelling it when the join
    // fails), deletes the threads and stubs and empties the list. Threads still
    // waiting for requests end without calling shutdown.
    static void waitUntilSensorsTerminate();

    void* run(void* args) override;
    ~SensorStub() override;

    // The next time stamp in milliseconds: the wall clock, or the logical
    // clock advanced by one step.
    uint64_t getTimeMillis();

    sensorQueue_t& getQueue() { return sensorQueue; }

    static std::vector<SensorStub*> stubList;

  private:
    SensorStub(AbstractSensor& sensor, sensorQueue_t& ctrlQueue, uint64_t logicalTimeStart,
               uint32_t logicalTimeDelta, LoggerStub* logger);

    AbstractSensor& sensor;
    Thread* thread;  // set by executeSensor before the thread starts; deleted by its caller
    sensorStatus status;
    sensorQueue_t sensorQueue;
    sensorQueue_t& ctrlQueue;
    uint64_t logicalTimeMillis;
    uint32_t logicalTimeMillisDelta;
    std::unique_ptr<LoggerStub> logger;
};
