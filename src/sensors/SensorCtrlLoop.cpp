// The controller thread: its message loop, the sensors' timers and polls,
// Blaster mode's request pacing, and the answers of the sensor threads.
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "Configuration.h"
#include "IPFIXPacket.h"
#include "ParamNames.h"
#include "SensorCtrl.h"
#include "SensorStub.h"

namespace {

constexpr uint64_t MICROS_PER_SEC = 1000000;

// Start of the Blaster sensor thread's logical clock, in milliseconds:
// 2000-01-01 00:00 at UTC+1.
constexpr uint64_t BLASTER_CLOCK_START = 946681200000ULL;
// Blaster mode hands a request and a reply between two threads for every
// sample; both wait for the other's message this long before they sleep.
constexpr unsigned int BLASTER_SPIN_MICROS = 50;
// Pauses below this are waited out on the clock: a sleep that short would
// last the timer slack (50 us by default) instead.
constexpr uint64_t BLASTER_PRECISE_PAUSE_MICROS = 200;
// While a collector's backlog waits, the controller wakes at least this
// often to send it on as the socket drains.
constexpr int64_t BACKLOG_FLUSH_MICROS = 10000;

}  // namespace

// ---- controller thread ----

bool SensorCtrl::isReply(msgCmd cmd) {
    return cmd == sensorInitRep || cmd == sensorGetDataRep || cmd == sensorStatusRep ||
           cmd == sensorShutdownRep;
}

bool SensorCtrl::sendToSensor(SensorCtrlBlock* block, msgCmd cmd) {
    if (block->sensorQueue == nullptr) return false;
    // A closed queue sets no errno; a failure must not show an older one.
    errno = 0;
    if (!sendRequest(*block->sensorQueue, cmd)) return false;
    ++block->repliesOut;
    return true;
}

void* SensorCtrl::run(void*) {
    if (blasterTimeOut != 0) ctrlQueue.setSpinWait(BLASTER_SPIN_MICROS);
    // The sensor list configuration may have connected sockets itself.
    links.publishFds();
    size_t started = 0;
    for (SensorCtrlBlock* block : sensors) {
        logger->logInfo("Executing sensor: %s", block->sensor->getName().c_str());
        const int rc = blasterTimeOut != 0
                           ? SensorStub::executeSensor(*block->sensor, ctrlQueue,
                                                       BLASTER_CLOCK_START, blasterTimeDelta)
                           : SensorStub::executeSensor(*block->sensor, ctrlQueue, 0, 0);
        if (rc == 0) {
            ++started;
            continue;
        }
        // Nothing will register for this block, so it is never polled and
        // the stop does not wait for it; without this line the sensor would
        // silently send nothing.
        sendLogMsg(errno, "Could not start the thread of sensor %s",
                   block->sensor->getName().c_str());
    }
    sensorThreadsStarted.set_value(started);

    LoopState st;
    if (config != nullptr)
        config->getParamStore().getFlag(Cfg::DELAY_INITIAL_POLL, st.delayInitialPoll);

    for (;;) {
        int64_t wait = st.timers.empty() ? -1 : static_cast<int64_t>(st.timers.getWaitTime());
        // A backlog waits for the socket, not for the next sample: on a path
        // slower than loopback a sample's tail would otherwise reach its
        // collector a period late, and a backlog that grows from sample to
        // sample would drop a collector that reads all it is given.
        if (links.backlogPending() && (wait < 0 || wait > BACKLOG_FLUSH_MICROS))
            wait = BACKLOG_FLUSH_MICROS;
        // A connection that took data is logged up once old enough, not a
        // period later.
        const int64_t upCheck = links.untilUpCheckMs();
        if (upCheck >= 0 && (wait < 0 || wait > upCheck * 1000)) wait = upCheck * 1000;
        sensorMsgHdr* msg = nullptr;
        const int rc = getMsg(ctrlQueue, msg, wait);
        // A collector's backlog drains between samples too, not only when
        // the next packet for it comes.
        links.flushBacklogs();
        if (rc > 0) {
            logger->logError("Msg receive failed: %d %s", rc, errnoText(rc).c_str());
            break;
        }
        if (rc == -1) {
            // The wait may have ended for a backlog before any timer is due.
            if (st.timers.empty() || st.timers.getWaitTime() > 0) continue;
            uint64_t id = 0;
            pollSensor(st.timers.getTopEvent(id));
            continue;
        }
        if (rc != 0) continue;
        const bool leave = handleMessage(msg, st);
        delete msg;
        if (leave) break;
    }
    // The queue stays open: terminateSensorCtrl still collects the replies
    // that tell which sensor threads are done, then closes it.
    st.timers.clear();
    for (SensorCtrlBlock* block : sensors) block->sensor->setTimerID(0);
    return nullptr;
}

void SensorCtrl::pollSensor(SensorCtrlBlock* block) {
    if (block->runState != sensorOperating || block->sensorQueue == nullptr) return;
    const std::string& sensorName = block->sensor->getName();
    if (block->dataReqsOut == 0) {
        sendDataRequest(block);
        return;
    }
    // A sensor polled every second or faster is routinely a little late.
    if (block->sensor->getPollPeriod() <= MICROS_PER_SEC) return;
    sendLogMsg(0, "sensor %s slow to respond. Too many outstanding data requests.",
               sensorName.c_str());
    // The sensor has no time-out of its own: while it is stuck, one status
    // request waits in its queue, and further ones would only pile up.
    if (block->statusReqOut) return;
    if (sendToSensor(block, sensorStatusReq))
        block->statusReqOut = true;
    else
        logSendFailure(block, "Could not send status request to %s");
}

void SensorCtrl::sendDataRequest(SensorCtrlBlock* block) {
    if (sendToSensor(block, sensorGetDataReq))
        ++block->dataReqsOut;
    else
        logSendFailure(block, "Could not send data request to %s");
}

void SensorCtrl::logSendFailure(SensorCtrlBlock* block, const char* format) {
    const int err = errno;
    char text[sizeof errBuf];
    snprintf(text, sizeof text, format, block->sensor->getName().c_str());
    // Without a queue nothing was tried, and errno tells of something else.
    if (block->sensorQueue == nullptr)
        sendLogMsg(0, "%s: the sensor thread has not registered its queue", text);
    else
        sendLogMsg(err, "%s", text);
}

void SensorCtrl::blasterRequest(SensorCtrlBlock* block) {
    const uint64_t us = static_cast<uint64_t>(blasterTimeOut);
    if (us < BLASTER_PRECISE_PAUSE_MICROS) {
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        do {
            clock_gettime(CLOCK_MONOTONIC, &now);
        } while (static_cast<uint64_t>((now.tv_sec - start.tv_sec) * 1000000000LL +
                                       (now.tv_nsec - start.tv_nsec)) < us * 1000);
    } else {
        Thread::sleep(static_cast<unsigned int>(us / MICROS_PER_SEC),
                      static_cast<unsigned int>(us % MICROS_PER_SEC) * 1000);
    }
    sendDataRequest(block);
}

void SensorCtrl::armTimer(SensorCtrlBlock* block, LoopState& st, uint64_t delay) {
    disarmTimer(block, st);
    const uint64_t period = block->sensor->getPollPeriod();
    // Period 0 means "not polled"; a timer with it would fire once.
    if (period == 0) return;
    block->sensor->setTimerID(st.timers.addPeriodicEvent(delay, period, block));
}

void SensorCtrl::disarmTimer(SensorCtrlBlock* block, LoopState& st) {
    if (block->sensor->getTimerID() == 0) return;
    st.timers.remove(block->sensor->getTimerID());
    block->sensor->setTimerID(0);
}

bool SensorCtrl::handleMessage(sensorMsgHdr* msg, LoopState& st) {
    SensorCtrlBlock* block = findSensorByID(msg->sensorID);
    if (block != nullptr && isReply(msg->command) && block->repliesOut > 0) --block->repliesOut;
    const char* sensorName = block != nullptr ? block->sensor->getName().c_str() : nullptr;

    switch (msg->command) {
        case sensorStartedEvent: {
            auto* reg = dynamic_cast<sensorRegisterMsg*>(msg);
            if (block == nullptr || reg == nullptr || block->runState != sensorInit) break;
            block->sensorQueue = reg->sensorQueue;
            if (blasterTimeOut != 0) block->sensorQueue->setSpinWait(BLASTER_SPIN_MICROS);
            ++st.startedSensors;
            if (st.stopping) {
                // Registered after the stop request: it is stopped, not started.
                if (sendToSensor(block, sensorShutdownReq)) {
                    block->runState = sensorShuttingDown;
                } else {
                    logSendFailure(block, "Could not send shutdown request to sensor %s");
                    block->repliesOut = 0;
                    --st.startedSensors;
                    block->runState = sensorStopped;
                    if (st.startedSensors == 0) return true;
                }
                break;
            }
            block->runState = sensorStarted;
            if (!sendToSensor(block, sensorInitReq))
                logSendFailure(block, "Could not send init request to sensor %s");
            break;
        }
        case sensorInitRep:
            if (block == nullptr || block->runState != sensorStarted) break;
            if (msg->repCode != 0) {
                sendLogMsg(0, "Initialization of sensor %s failed with reply code %d", sensorName,
                           msg->repCode);
                break;
            }
            block->runState = sensorOperating;
            if (blasterTimeOut != 0) {
                blasterRequest(block);
            } else {
                const uint64_t period = block->sensor->getPollPeriod();
                armTimer(
                    block, st,
                    st.delayInitialPoll ? getInitialDelay(period, block->sensor->getName()) : 0);
            }
            break;
        case sensorGetDataRep: {
            if (block == nullptr) {
                sendLogMsg(0, "Sensor with unknown identity %s",
                           SensorID::sensorName(msg->sensorID).c_str());
                break;
            }
            if (block->dataReqsOut > 0)
                --block->dataReqsOut;
            else
                sendLogMsg(0, "Received more data replies than requested  from sensor %s",
                           sensorName);
            auto* rep = dynamic_cast<sensorDataRepMsg*>(msg);
            if (rep != nullptr &&
                IPFIXPacket::hasRows(rep->data, block->sensor->getNumVirtualSensors()))
                prepareIPFIXPacket(block, static_cast<uint32_t>((rep->curTime + 500) / 1000),
                                   rep->data);
            if (blasterTimeOut != 0 && !st.stopping && block->runState == sensorOperating)
                blasterRequest(block);
            break;
        }
        case sensorStatusRep: {
            auto* rep = dynamic_cast<sensorStatusRepMsg*>(msg);
            if (block == nullptr || rep == nullptr) break;
            block->status = rep->status;
            if (rep->inReplyTo == sensorStatusReq) block->statusReqOut = false;
            logStatusReply(block, *rep);
            // A failed sample is answered with the status instead of data; it
            // settles the data request, or the sensor would never be polled
            // again.
            if (settlesDataRequest(*msg) && block->dataReqsOut > 0) {
                --block->dataReqsOut;
                if (blasterTimeOut != 0 && !st.stopping && block->runState == sensorOperating)
                    blasterRequest(block);
            }
            break;
        }
        case sensorShutdownReq:
            // A second stop request: the main thread no longer waits for the
            // sensors that have not answered.
            if (st.stopping) return true;
            st.stopping = true;
            if (sensors.empty()) return true;
            for (SensorCtrlBlock* b : sensors) {
                if (b->runState != sensorStarted && b->runState != sensorOperating &&
                    b->runState != sensorInitFailed)
                    continue;
                disarmTimer(b, st);
                if (sendToSensor(b, sensorShutdownReq)) {
                    b->runState = sensorShuttingDown;
                } else {
                    logSendFailure(b, "Could not send shutdown request to sensor %s");
                    // Its queue is closed: its thread has left its loop and
                    // will not answer.
                    b->repliesOut = 0;
                    if (st.startedSensors > 0) --st.startedSensors;
                }
            }
            // Nobody to wait for: no thread registered, or none can answer.
            if (st.startedSensors == 0) return true;
            break;
        case sensorShutdownRep:
            if (block != nullptr && block->runState != sensorStopped) {
                block->runState = sensorStopped;
                logger->logInfo("Sensor has stopped: %s", sensorName);
            }
            if (st.startedSensors > 0) --st.startedSensors;
            if (st.startedSensors == 0) return true;
            break;
        case sensorUpdatePeriod:
            // A sensor that has not finished its init gets its timer when the
            // init reply comes, with the period in effect then.
            if (block == nullptr || block->runState != sensorOperating || blasterTimeOut != 0)
                break;
            armTimer(block, st, 0);
            break;
        default:
            break;
    }
    return false;
}

void SensorCtrl::logStatusReply(SensorCtrlBlock* block, const sensorStatusRepMsg& rep) {
    const sensorStatus& s = rep.status;
    const char* sensorName = block->sensor->getName().c_str();
    if (s.errCode != 0)
        sendLogMsg(0,
                   "Error on sensor %s. Error code: %d, number of reports %d, time of first "
                   "report: %lu time of most recent report: %lu",
                   sensorName, s.errCode, static_cast<int>(s.numReports),
                   static_cast<unsigned long>(s.firstTimeStamp),
                   static_cast<unsigned long>(s.curTimeStamp));
    else
        sendLogMsg(0,
                   "Sensor %s reports no error despite slow response, number of reports %d, time "
                   "of first report: %lu time of most recent report: %lu",
                   sensorName, static_cast<int>(s.numReports),
                   static_cast<unsigned long>(s.firstTimeStamp),
                   static_cast<unsigned long>(s.curTimeStamp));
}
