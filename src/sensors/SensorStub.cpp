#include "SensorStub.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>

std::vector<SensorStub*> SensorStub::stubList;

SensorStub::SensorStub(AbstractSensor& s, sensorQueue_t& cq, uint64_t logicalTimeStart,
                       uint32_t logicalTimeDelta, LoggerStub* log)
    : sensor(s),
      thread(nullptr),
      status{0, 0, 0, 0},
      ctrlQueue(cq),
      logicalTimeMillis(logicalTimeStart),
      logicalTimeMillisDelta(logicalTimeDelta),
      logger(log) {}

SensorStub::~SensorStub() {
    sensorQueue.close();
    // This stub is the receiver of its queue and so owns what is left in it.
    sensorMsgHdr* msg = nullptr;
    while (sensorQueue.popFront(&msg, nullptr) == 0) delete msg;
}

int SensorStub::executeSensor(AbstractSensor& sensor, sensorQueue_t& ctrlQueue,
                              uint64_t logicalTimeStart, uint64_t logicalTimeDelta) {
    auto* logger = new LoggerStub(SensorID::sensorName(sensor.getSensorID()));
    auto* stub = new SensorStub(sensor, ctrlQueue, logicalTimeStart,
                                static_cast<uint32_t>(logicalTimeDelta), logger);
    stub->thread = new Thread(sensor.getName().c_str(), *stub, nullptr);
    stubList.push_back(stub);
    if (stub->thread->start()) return 0;

    const int err = errno;
    stubList.erase(std::find(stubList.begin(), stubList.end(), stub));
    delete stub->thread;
    delete stub;
    errno = err;
    return -1;
}

void SensorStub::waitUntilSensorsTerminate() {
    // A thread that never got a shutdown request (it registered after the stop,
    // or the controller ended early) waits on its queue; closing the queues
    // first lets every such thread end instead of blocking the join forever.
    // A thread inside its sensor finishes that call, then ends.
    for (SensorStub* stub : stubList) stub->sensorQueue.close();
    for (SensorStub* stub : stubList) {
        if (!stub->thread->join(nullptr)) stub->thread->kill();
        delete stub->thread;
        delete stub;
    }
    stubList.clear();
}

uint64_t SensorStub::getTimeMillis() {
    if (logicalTimeMillis == 0 && logicalTimeMillisDelta == 0) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
    }
    logicalTimeMillis += logicalTimeMillisDelta;
    return logicalTimeMillis;
}

void* SensorStub::run(void*) {
    const SensorID::SensorID sid = sensor.getSensorID();
    if (!sendRegister(ctrlQueue, &sensorQueue, sid)) {
        logger->logError("Could not register with the sensor controller");
        sensorQueue.close();
        return nullptr;
    }

    bool serving = true;
    while (serving) {
        sensorMsgHdr* msg = nullptr;
        if (getMsg(sensorQueue, msg, -1) > 0) break;

        // Failed reply pushes are not reported: the controller queue only
        // refuses them once the controller is going away.
        switch (msg->command) {
            case sensorInitReq:
                sendReply(ctrlQueue, sensorInitRep, sensor.init(), sid);
                break;
            case sensorGetDataReq: {
                const dataSet_t* data = sensor.getMetricData();
                if (data != nullptr) {
                    const uint64_t stamp = getTimeMillis();
                    const uint64_t last = status.curTimeStamp;
                    status.curTimeStamp = stamp;
                    if (status.firstTimeStamp == 0) status.firstTimeStamp = stamp;
                    status.numReports++;
                    status.errCode = 0;
                    sendMetrics(ctrlQueue, sensorGetDataRep, stamp, last, data, sid);
                } else {
                    status.errCode = sensor.getStatus();
                    sendStatus(ctrlQueue, sensorStatusRep, &status, sid, sensorGetDataReq);
                }
                break;
            }
            case sensorStatusReq:
                status.errCode = sensor.getStatus();
                sendStatus(ctrlQueue, sensorStatusRep, &status, sid, sensorStatusReq);
                break;
            case sensorShutdownReq:
                sendReply(ctrlQueue, sensorShutdownRep, sensor.shutdown(), sid);
                serving = false;
                break;
            default:
                break;
        }
        delete msg;
    }
    sensorQueue.close();
    return nullptr;
}
