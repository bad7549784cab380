#include "sensorProto.h"

#include <sys/time.h>

namespace {

bool push(sensorQueue_t& queue, sensorMsgHdr* msg) {
    if (queue.pushBack(msg)) return true;
    delete msg;
    return false;
}

}  // namespace

bool sendRequest(sensorQueue_t& queue, msgCmd cmd) {
    return push(queue, new sensorMsgHdr(cmd, SensorID::Controller));
}

bool sendEvent(sensorQueue_t& queue, msgCmd cmd, SensorID::SensorID sid) {
    return push(queue, new sensorMsgHdr(cmd, sid));
}

bool sendReply(sensorQueue_t& queue, msgCmd cmd, int32_t rep, SensorID::SensorID sid) {
    return push(queue, new sensorMsgHdr(cmd, sid, rep));
}

bool sendMetrics(sensorQueue_t& queue, msgCmd cmd, uint64_t curTime, uint64_t lastTime,
                 const dataSet_t* metrics, SensorID::SensorID sid) {
    return push(queue, new sensorDataRepMsg(cmd, sid, curTime, lastTime, metrics));
}

bool sendStatus(sensorQueue_t& queue, msgCmd cmd, const sensorStatus* status,
                SensorID::SensorID sid, msgCmd inReplyTo) {
    const sensorStatus zero = {0, 0, 0, 0};
    return push(queue,
                new sensorStatusRepMsg(cmd, sid, status != nullptr ? *status : zero, inReplyTo));
}

bool sendRegister(sensorQueue_t& queue, sensorQueue_t* sq, SensorID::SensorID sid) {
    return push(queue, new sensorRegisterMsg(sid, sq));
}

int getMsg(sensorQueue_t& queue, sensorMsgHdr*& msg, int64_t timeoutMicroseconds) {
    msg = nullptr;
    if (timeoutMicroseconds < 0) return queue.popFront(&msg, nullptr);
    const uint64_t t = static_cast<uint64_t>(timeoutMicroseconds);
    struct timeval wait;
    wait.tv_sec = static_cast<time_t>(t / ONE_SEC_IN_MICROSECONDS);
    wait.tv_usec = static_cast<suseconds_t>(t % ONE_SEC_IN_MICROSECONDS);
    return queue.popFront(&msg, &wait);
}

bool settlesDataRequest(const sensorMsgHdr& msg) {
    if (msg.command == sensorGetDataRep) return true;
    if (msg.command != sensorStatusRep) return false;
    const auto* rep = dynamic_cast<const sensorStatusRepMsg*>(&msg);
    return rep != nullptr && rep->inReplyTo == sensorGetDataReq;
}
