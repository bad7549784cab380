// Messages between the controller thread and the sensor threads.
//
// There is one controller queue, written by every sensor thread and by the
// main thread, and one private queue per sensor thread, written only by the
// controller. Messages are heap records and never leave the process.
//
// Ownership: the sender creates a message with new; when the push fails the
// send helper deletes it at once and returns false; otherwise the receiver
// owns it and deletes it after handling, whatever its command. The data sets
// a data reply points to are not owned by the message: they belong to the
// sensor, which rewrites them on its next sample, so the receiver finishes
// with them before it asks that sensor again.
#pragma once

#include <cstdint>

#include "SyncQueue.h"
#include "definitions.h"
#include "sensorIDs.h"

enum msgCmd : int32_t {
    sensorInitReq = 1,                 // controller -> sensor: run init
    sensorInitRep = 2,                 // sensor -> controller: repCode = result of init
    sensorGetDataReq = 3,              // controller -> sensor: take one sample
    sensorGetDataRep = 4,              // sensor -> controller: sensorDataRepMsg
    sensorStatusReq = 5,               // controller -> sensor: report the status record
    sensorStatusRep = 6,               // sensor -> controller: sensorStatusRepMsg
    sensorShutdownReq = 7,             // main -> controller, controller -> sensor: stop
    sensorShutdownRep = 8,             // sensor -> controller: repCode = result of shutdown
    sensorStartedEvent = 9,            // sensor -> controller: sensorRegisterMsg
    sensorUpdatePeriod = 10,           // reloading thread -> controller: re-arm the sensor's timer
    sensorUpdateRemoteFSmonitor = 11,  // reserved; nothing sends it
};

// The controller's view of one sensor.
enum sensorRunState : int32_t {
    sensorInit = 0,          // its thread has not registered yet
    sensorStarted = 1,       // registered; init requested, or init failed
    sensorOperating = 2,     // init succeeded; sampled on its period
    sensorInitFailed = 3,    // reserved
    sensorShuttingDown = 4,  // shutdown requested
    sensorStopped = 5,       // shutdown answered
};

static_assert(sizeof(msgCmd) == 4 && sizeof(sensorRunState) == 4, "");

constexpr uint64_t ONE_SEC_IN_MICROSECONDS = 1000000;

// Base record. Polymorphic so that a receiver can delete any message through
// a sensorMsgHdr* and test its dynamic type.
struct sensorMsgHdr {
    sensorMsgHdr(msgCmd cmd, SensorID::SensorID sid, int32_t rep = 0)
        : command(cmd), totalLen(sizeof(sensorMsgHdr)), sensorID(sid), repCode(rep) {}
    virtual ~sensorMsgHdr() = default;

    msgCmd command;
    uint32_t totalLen;            // size of the whole record; informational
    SensorID::SensorID sensorID;  // Controller on requests from the controller
    int32_t repCode;
};

struct sensorDataRepMsg : sensorMsgHdr {
    sensorDataRepMsg(msgCmd cmd, SensorID::SensorID sid, uint64_t cur, uint64_t last,
                     const dataSet_t* sets)
        : sensorMsgHdr(cmd, sid), curTime(cur), lastTime(last), data(sets) {
        totalLen = sizeof(sensorDataRepMsg);
    }

    uint64_t curTime;       // ms, time stamp of this sample
    uint64_t lastTime;      // ms, time stamp of the previous sample, 0 for the first
    const dataSet_t* data;  // the sensor's data sets, one per virtual sensor; not owned
};

struct sensorStatusRepMsg : sensorMsgHdr {
    sensorStatusRepMsg(msgCmd cmd, SensorID::SensorID sid, const sensorStatus& st, msgCmd answered)
        : sensorMsgHdr(cmd, sid), status(st), inReplyTo(answered) {
        totalLen = sizeof(sensorStatusRepMsg);
    }

    sensorStatus status;  // copy of the sensor thread's record
    // The request this reply answers. A sample that yields no data set is
    // answered with a status reply instead of a data reply; the controller
    // must count it as the answer to that data request, or it would never poll
    // the sensor again (see settlesDataRequest).
    msgCmd inReplyTo;
};

typedef SyncQueue<sensorMsgHdr*> sensorQueue_t;

struct sensorRegisterMsg : sensorMsgHdr {
    sensorRegisterMsg(SensorID::SensorID sid, sensorQueue_t* sq)
        : sensorMsgHdr(sensorStartedEvent, sid), sensorQueue(sq) {
        totalLen = sizeof(sensorRegisterMsg);
    }

    sensorQueue_t* sensorQueue;  // the sensor thread's own queue; the controller only pushes
};

// Each send helper builds one message, pushes it onto `queue` and returns true
// when it was queued; on false the message is already deleted.
bool sendRequest(sensorQueue_t& queue, msgCmd cmd);
bool sendEvent(sensorQueue_t& queue, msgCmd cmd, SensorID::SensorID sid);
bool sendReply(sensorQueue_t& queue, msgCmd cmd, int32_t rep, SensorID::SensorID sid);
bool sendMetrics(sensorQueue_t& queue, msgCmd cmd, uint64_t curTime, uint64_t lastTime,
                 const dataSet_t* metrics, SensorID::SensorID sid);
// A null status sends a zeroed record: a status reply always carries one.
bool sendStatus(sensorQueue_t& queue, msgCmd cmd, const sensorStatus* status,
                SensorID::SensorID sid, msgCmd inReplyTo = sensorStatusReq);
bool sendRegister(sensorQueue_t& queue, sensorQueue_t* sq, SensorID::SensorID sid);

// Takes the next message into `msg` (null unless 0 is returned). A negative
// time-out waits without limit. Results: 0 a message; -1 time-out; 2 the queue
// was closed and empty; 9 it was closed while waiting; another positive value
// is the error of the wait. Callers end their loop on a result above 0.
int getMsg(sensorQueue_t& queue, sensorMsgHdr*& msg, int64_t timeoutMicroseconds);

// True for a reply that answers an outstanding data request: a data reply, or
// the status reply sent in its place when the sample produced no data set.
bool settlesDataRequest(const sensorMsgHdr& msg);
