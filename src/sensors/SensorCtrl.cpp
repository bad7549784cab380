#include "SensorCtrl.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Configuration.h"
#include "ParamNames.h"
#include "SensorStub.h"

const Cfg::Configuration* SensorCtrl::config = nullptr;
const char* const SensorCtrl::name = "SensorCtrl";
Thread* SensorCtrl::thread = nullptr;
SensorCtrl* SensorCtrl::sensorCtrl = nullptr;
bool (*SensorCtrl::stopRequested)() = nullptr;

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
// Load tests wait this long, for all new connections of a call together,
// before they go on without the ones still pending.
constexpr int BLASTER_CONNECT_WAIT_MS = 50;
// Longer waits are cut into slices of this length to look for a stop request.
constexpr int STOP_CHECK_MS = 100;

std::string errnoText(int err) {
    char buf[128];
    // GNU strerror_r may return a static string instead of filling buf.
    return strerror_r(err, buf, sizeof buf);
}

void putU16(char* p, uint16_t v) {
    v = htons(v);
    std::memcpy(p, &v, sizeof v);
}

void putU32(char* p, uint32_t v) {
    v = htonl(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace

// ---- construction, start and stop (main thread) ----

SensorCtrl::SensorCtrl()
    : socketTimeout(60),
      blasterTimeOut(0),
      blasterTimeDelta(0),
      logger(new LoggerStub(name)),
      reportNextConnectionError(true),
      numPkts(0) {
    std::memset(errBuf, 0, sizeof errBuf);
    const Cfg::ParamValStore* params = config != nullptr ? &config->getParamStore() : nullptr;

    int32_t tcpTimeout = 0;
    if (params != nullptr && params->getInt(Cfg::SENSORTCPTIMEOUT, tcpTimeout) && tcpTimeout > 0) {
        socketTimeout = tcpTimeout;
        logger->logWarning("Sensor socket timeout is changed to %i seconds", socketTimeout);
    }

    std::string localIface;
    const Cfg::ParamVec* collectors = nullptr;
    if (params != nullptr) {
        params->getString(Cfg::IPFIXIF, localIface);
        params->getParamStoreVec(Cfg::COLLECTORS, collectors);
    }
    if (collectors != nullptr) {
        for (const Cfg::ParamValStore* entry : *collectors) {
            std::string host, port;
            entry->getString(Cfg::COLHOST, host);
            entry->getString(Cfg::COLPORT, port);
            Socket* s = new Socket(host, port);
            s->setTimeoutValue(socketTimeout);
            if (!localIface.empty()) s->setLocalInterface(localIface);
            outputSockets.push_back(s);
        }
    }
    collectorState.resize(outputSockets.size());
    collectorFds.resize(outputSockets.size(), -1);
    const time_t now = time(nullptr);
    for (size_t i = 0; i < outputSockets.size(); ++i) {
        Socket* s = outputSockets[i];
        if (s->connecting || s->connected) continue;
        collectorState[i].lastStart = now;
        if (!s->connectAsync()) s->closeSocket(false);
        collectorFds[i] = s->sockFD;
    }

    std::memset(ipfixPacket, 0, sizeof ipfixPacket);
    std::memset(ipfixTemplatePacket, 0, sizeof ipfixTemplatePacket);
    // Taken before any sensor block exists, so sensor templates start after it.
    sensorLogPkt.templateID = IPFIXTemplSet::createNewTempalteID();
}

SensorCtrl::~SensorCtrl() {
    for (SensorCtrlBlock* block : sensors) delete block;
    for (Socket* s : outputSockets) delete s;
    ctrlQueue.close();
    // The controller is the receiver of its queue and so owns what is left
    // in it (late registrations, replies that came after the stop).
    sensorMsgHdr* msg = nullptr;
    while (ctrlQueue.popFront(&msg, nullptr) == 0) delete msg;
    delete logger;
}

int SensorCtrl::startSensorCtrl(LoggerStub* log, const Cfg::Configuration* cfg) {
    if (thread != nullptr) return -1;
    // A fixed threshold keeps large buffers (a long reply's text or lines) in
    // mappings of their own that go back to the system when freed; the
    // default threshold rises after the first such buffer, and the sensor
    // threads' arenas then keep tens of MB after one oversized reply.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    config = cfg;
    sensorCtrl = new SensorCtrl();
    sensorCtrl->parseSensorConfig();
    thread = new Thread(name, *sensorCtrl, nullptr);
    if (thread->start()) return 0;

    const int err = errno;
    Logger* out = log != nullptr ? static_cast<Logger*>(log) : sensorCtrl->logger;
    out->logError("Could not start sensor controller: %s!", errnoText(err).c_str());
    delete thread;
    thread = nullptr;
    delete sensorCtrl;
    sensorCtrl = nullptr;
    return -1;
}

void SensorCtrl::terminateSensorCtrl(LoggerStub* log) {
    SensorCtrl* ctrl = sensorCtrl;
    Logger* out =
        log != nullptr ? static_cast<Logger*>(log) : (ctrl != nullptr ? ctrl->logger : nullptr);
    bool threadGone = true;
    if (thread != nullptr) {
        if (!sendEvent(ctrl->ctrlQueue, sensorShutdownReq, SensorID::Controller) && out != nullptr)
            out->logError("Could not send control message to sensor controller.");
        if (!thread->joinTimed(nullptr, JOIN_SECONDS)) {
            if (out != nullptr)
                out->logInfo("Thread join failed. Going to kill thread: %s",
                             thread->getName().c_str());
            // The controller waits for a sensor that does not answer, or is
            // stuck in a send to a collector that does not read. Break the
            // sends and ask once more: a second stop request makes it leave at
            // once. Cancelling is the last resort, for a thread that still
            // does not end.
            ctrl->interruptSends();
            sendEvent(ctrl->ctrlQueue, sensorShutdownReq, SensorID::Controller);
            if (!thread->joinTimed(nullptr, LEAVE_SECONDS)) {
                ctrl->ctrlQueue.close();
                threadGone = thread->kill();
            }
        }
        delete thread;
        thread = nullptr;
    }
    sensorCtrl = nullptr;
    if (ctrl == nullptr) return;

    runStopHooks();

    // The controller and its sensors may only go once no thread can still
    // run inside them: the controller thread must be joined, and every
    // sensor thread must have answered every request it was sent (the
    // threads push their replies into ctrlQueue, and a thread inside a
    // sampling call still uses its sensor).
    if (threadGone && ctrl->waitForSensorThreads(out)) {
        delete ctrl;
        return;
    }
    // Kept reachable, never freed: a thread may still be running in it.
    abandoned().push_back(ctrl);
}

namespace {
// Never destroyed: a channel may add its hook from a sensor thread at any time.
std::mutex& stopHookLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::vector<void (*)()>& stopHooks() {
    static auto* hooks = new std::vector<void (*)()>;
    return *hooks;
}
}  // namespace

void SensorCtrl::addStopHook(void (*hook)()) {
    std::lock_guard<std::mutex> hold(stopHookLock());
    for (void (*h)() : stopHooks())
        if (h == hook) return;
    stopHooks().push_back(hook);
}

void SensorCtrl::runStopHooks() {
    std::vector<void (*)()> hooks;
    {
        std::lock_guard<std::mutex> hold(stopHookLock());
        hooks = stopHooks();
    }
    for (void (*hook)() : hooks) hook();
}

std::vector<SensorCtrl*>& SensorCtrl::abandoned() {
    static auto* list = new std::vector<SensorCtrl*>();
    return *list;
}

bool SensorCtrl::waitForSensorThreads(Logger* out) {
    // Replies that come after the controller thread stopped serving still
    // show which sensor threads finished their last request; give them a
    // moment, then refuse further messages.
    auto account = [this](sensorMsgHdr* msg) {
        SensorCtrlBlock* block = findSensorByID(msg->sensorID);
        if (block != nullptr && isReply(msg->command) && block->repliesOut > 0) --block->repliesOut;
        delete msg;
    };
    auto anyOutstanding = [this] {
        for (SensorCtrlBlock* block : sensors)
            if (block->repliesOut != 0) return true;
        return false;
    };
    struct timeval start, now;
    gettimeofday(&start, nullptr);
    while (anyOutstanding()) {
        gettimeofday(&now, nullptr);
        const int64_t waited = (now.tv_sec - start.tv_sec) * static_cast<int64_t>(MICROS_PER_SEC) +
                               (now.tv_usec - start.tv_usec);
        const int64_t left = static_cast<int64_t>(REPLY_GRACE_MICROS) - waited;
        if (left <= 0) break;
        sensorMsgHdr* msg = nullptr;
        const int rc = getMsg(ctrlQueue, msg, left);
        if (rc > 0) break;
        if (rc == 0) account(msg);
    }
    ctrlQueue.close();
    sensorMsgHdr* msg = nullptr;
    while (ctrlQueue.popFront(&msg, nullptr) == 0) account(msg);

    // Threads that wait for a request end once their queue is closed.
    for (SensorStub* stub : SensorStub::stubList) stub->getQueue().close();

    bool busy = false;
    for (SensorCtrlBlock* block : sensors) {
        if (block->repliesOut == 0) continue;
        busy = true;
        if (out != nullptr)
            out->logWarning("Sensor %s did not answer its last request; it is left running",
                            block->sensor->getName().c_str());
    }
    if (busy) return false;
    // Every thread has left its sensor or never entered it, so these joins
    // return as soon as the threads see their closed queues.
    SensorStub::waitUntilSensorsTerminate();
    return true;
}

bool SensorCtrl::addSensor(AbstractSensor* sensor, sensorQueue_t* queue) {
    if (sensor == nullptr) return false;
    if (findSensorByID(sensor->getSensorID()) != nullptr) return false;
    sensors.push_back(new SensorCtrlBlock(sensor, queue));
    return true;
}

SensorCtrlBlock* SensorCtrl::findSensorByID(SensorID::SensorID id) {
    for (SensorCtrlBlock* block : sensors)
        if (block->sensor != nullptr && block->sensor->getSensorID() == id) return block;
    return nullptr;
}

uint64_t SensorCtrl::getInitialDelay(uint64_t period, std::string sensorName) {
    uint64_t delay = 0;
    if (period >= 86400 * MICROS_PER_SEC)
        delay = 10800 * MICROS_PER_SEC;
    else if (period >= 43200 * MICROS_PER_SEC)
        delay = 7200 * MICROS_PER_SEC;
    else if (period >= 10800 * MICROS_PER_SEC)
        delay = 3600 * MICROS_PER_SEC;
    else if (period >= 3600 * MICROS_PER_SEC)
        delay = period / 3;
    if (delay != 0)
        logger->logInfo("Set initial delay time for sensor %s to %d seconds", sensorName.c_str(),
                        static_cast<int>(delay / MICROS_PER_SEC));
    return delay;
}

void SensorCtrl::resetConnectionStatus(const Socket* socket) {
    for (SensorCtrlBlock* block : sensors) block->removeConnectionStatus(socket);
}

void SensorCtrl::sendLogMsg(int errnum, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(errBuf, sizeof errBuf, format, ap);
    va_end(ap);
    if (n < 0) errBuf[0] = '\0';
    if (errnum != 0 && n >= 0 && static_cast<size_t>(n) < sizeof errBuf)
        snprintf(errBuf + n, sizeof errBuf - static_cast<size_t>(n), ": %s (errno %d)",
                 errnoText(errnum).c_str(), errnum);
    logger->logError("%s", errBuf);
}

void SensorCtrl::dumpSensorPeriod() {
    for (SensorCtrlBlock* block : sensors)
        logger->logDebug("dumpSensorPeriod: Sensor %s has period %d sec.",
                         block->sensor->getName().c_str(),
                         static_cast<int>(block->sensor->getPollPeriod() / MICROS_PER_SEC));
}

void SensorCtrl::updateSensorRemoteFSmonitor(bool value) { AbstractSensor::monRemoteFs = value; }

// ---- reload (reloading thread) ----

void SensorCtrl::updateSensorPeriod(const Cfg::Configuration& cfg) {
    const Cfg::ParamVec* entries = nullptr;
    if (!cfg.getParamStore().getParamStoreVec(Cfg::SENSORS, entries) || entries == nullptr) return;
    for (const Cfg::ParamValStore* entry : *entries) {
        std::string sensorName;
        int32_t period = 0;
        entry->getString(Cfg::SENSNAME, sensorName);
        // An entry without a period says nothing about the period: leave it.
        if (!entry->getInt(Cfg::SENSPERIOD, period)) continue;
        if (period < 0) {
            logger->logWarning(
                "updateSensorPeriod: period value for sensor %s is negative. Set to 0.",
                sensorName.c_str());
            period = 0;
        }
        SensorCtrlBlock* block = nullptr;
        for (SensorCtrlBlock* b : sensors)
            if (b->sensor->getName() == sensorName) {
                block = b;
                break;
            }
        if (block == nullptr) continue;

        AbstractSensor* sensor = block->sensor;
        const int current = static_cast<int>(sensor->getPollPeriod() / MICROS_PER_SEC);
        if (current == period) continue;
        if (current == 0)
            logger->logInfo(
                "updateSensorPeriod: Sensor %s has period 0 sec. We try to reactivate it by "
                "configuration reload.",
                sensorName.c_str());
        if (period == 0)
            logger->logInfo(
                "updateSensorPeriod: Sensor %s has period %d sec. We deactivate it by removing "
                "the event timer.",
                sensorName.c_str(), current);
        sensor->setPollPeriod(static_cast<uint64_t>(period) * MICROS_PER_SEC);
        if (sendEvent(ctrlQueue, sensorUpdatePeriod, sensor->getSensorID()))
            logger->logInfo(
                "updateSensorPeriod: change period value for sensor %s from %d to %d sec",
                sensorName.c_str(), current, period);
        else
            logger->logWarning("updateSensorPeriod: could not send update event for sensor %s.",
                               sensorName.c_str());
    }
}

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
    {
        std::lock_guard<std::mutex> lock(fdLock);
        collectorFds.resize(outputSockets.size(), -1);
        for (size_t i = 0; i < outputSockets.size(); ++i)
            collectorFds[i] = outputSockets[i]->sockFD;
    }
    for (SensorCtrlBlock* block : sensors) {
        logger->logInfo("Executing sensor: %s", block->sensor->getName().c_str());
        if (blasterTimeOut != 0)
            SensorStub::executeSensor(*block->sensor, ctrlQueue, BLASTER_CLOCK_START,
                                      blasterTimeDelta);
        else
            SensorStub::executeSensor(*block->sensor, ctrlQueue, 0, 0);
    }

    LoopState st;
    if (config != nullptr)
        config->getParamStore().getFlag(Cfg::DELAY_INITIAL_POLL, st.delayInitialPoll);

    for (;;) {
        const int64_t wait = st.timers.empty() ? -1 : static_cast<int64_t>(st.timers.getWaitTime());
        sensorMsgHdr* msg = nullptr;
        const int rc = getMsg(ctrlQueue, msg, wait);
        if (rc > 0) {
            logger->logError("Msg receive failed: %d %s", rc, errnoText(rc).c_str());
            break;
        }
        if (rc == -1) {
            if (st.timers.empty()) continue;
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
            if (rep != nullptr && hasRows(rep->data, block->sensor->getNumVirtualSensors()))
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

// ---- IPFIX packets (controller thread) ----
//
// Template packet of virtual sensor v (metadata template M with 5 fields,
// metric template T with k fields, all specifiers 8 bytes):
//
//   offset        length     content
//   0             16         message header
//   16            4          template set header (2, 48)
//   20            44         template record M
//   64            4          data set header (M, 48k + 4)
//   68            48k        k metadata rows
//   68 + 48k      4          template set header (2, 8k + 8)
//   72 + 48k      4 + 8k     template record T
//   total         76 + 56k   (916 for 15 metrics)
//
// Data packet: 16-byte message header, 4-byte data set header (T, 4 + rL),
// r records of L bytes with rL <= MAX_RECORDS_LEN, so that the message stays
// within MAX_CONTENT_LEN and its 16-bit length never wraps (one 168-byte
// record: 188 bytes; 1000 records of 100 bytes: 65520 + 34520 bytes). Every
// packet of one virtual sensor's sample has the same sequence number and
// export time.

bool SensorCtrl::hasRows(const dataSet_t* data, uint32_t count) {
    if (data == nullptr) return false;
    for (uint32_t v = 0; v < count; ++v) {
        if (data[v].numSets > 0) return true;
    }
    return false;
}

bool SensorCtrl::addTemplateSet(const IPFIXTemplSet& tmpl, char* buf, uint32_t* length) {
    if (*length + sizeof(IPFIX_Set) > MAX_MESSAGE_LEN) return false;
    const size_t capacity = MAX_MESSAGE_LEN - *length - sizeof(IPFIX_Set);
    if (!tmpl.copyTemplateSetNetByteOrder(buf + *length + sizeof(IPFIX_Set), capacity))
        return false;
    const uint32_t setLen = static_cast<uint32_t>(tmpl.getTemplateMemorySize() + sizeof(IPFIX_Set));
    putU16(buf + *length, IPFIX_TEMPLATE_SET_ID);
    putU16(buf + *length + 2, static_cast<uint16_t>(setLen));
    *length += setLen;
    return true;
}

uint32_t SensorCtrl::addDataSet(const dataSet_t* data, uint32_t offset, const IPFIXTemplSet& tmpl,
                                char* buf, uint32_t* length) {
    const uint64_t recordLength = tmpl.getDataSetMemorySize();
    // Rows that do not match the template cannot be described by it, and
    // reading them by the template's length could run past the rows.
    if (recordLength == 0 || data->setLength != recordLength) return 0;
    const uint64_t total = static_cast<uint64_t>(data->numSets) * recordLength;
    if (offset >= total) return 0;
    const uint64_t remaining = total - offset;
    const int64_t room =
        static_cast<int64_t>(MAX_CONTENT_LEN) - *length - static_cast<int64_t>(sizeof(IPFIX_Set));
    if (room < static_cast<int64_t>(recordLength)) return offset;

    uint64_t bytes;
    uint32_t next;
    if (static_cast<uint64_t>(room) < remaining) {
        bytes = static_cast<uint64_t>(room) / recordLength * recordLength;
        next = static_cast<uint32_t>(offset + bytes);
    } else {
        bytes = remaining;
        next = 0;
    }
    putU16(buf + *length, tmpl.getTemplateID());
    putU16(buf + *length + 2, static_cast<uint16_t>(bytes + sizeof(IPFIX_Set)));
    std::memcpy(buf + *length + sizeof(IPFIX_Set), data->data + offset, bytes);
    *length += static_cast<uint32_t>(bytes + sizeof(IPFIX_Set));
    return next;
}

void SensorCtrl::writeMessageHeader(char* p, uint32_t exportTime, uint32_t seq) {
    putU16(p, IPFIX_VERSION);
    putU32(p + 4, exportTime);
    putU32(p + 8, seq);
    putU32(p + 12, IPFIX_DOMAIN_ID);
}

bool SensorCtrl::templatePacketNeeded(SensorCtrlBlock* block, uint32_t v) {
    for (Socket* s : outputSockets) {
        if (!s->connected || !block->isTemplateSent(s, v)) return true;
    }
    return false;
}

bool SensorCtrl::buildTemplatePacket(SensorCtrlBlock* block, uint32_t v, uint32_t exportTime,
                                     uint32_t seq, uint32_t* length) {
    char* p = ipfixTemplatePacket;
    writeMessageHeader(p, exportTime, seq);
    *length = sizeof(IPFIX);
    const dataSet_t* meta = block->sensor->getMetaData();
    if (!addTemplateSet(block->metaMetricsTemplate, p, length) ||
        addDataSet(&meta[v], 0, block->metaMetricsTemplate, p, length) != 0 ||
        !addTemplateSet(block->metricsTemplate[v], p, length))
        return false;
    putU16(p + 2, static_cast<uint16_t>(*length));
    return true;
}

bool SensorCtrl::prepareIPFIXPacket(SensorCtrlBlock* block, uint32_t exportTime,
                                    const dataSet_t* data) {
    AbstractSensor* sensor = block->sensor;
    const uint32_t numVirt = std::min<uint32_t>(
        sensor->getNumVirtualSensors(), static_cast<uint32_t>(block->metricsTemplate.size()));
    beginSample();
    if (block->refusalLogged.size() < numVirt) block->refusalLogged.resize(numVirt, false);
    bool allSent = true;
    for (uint32_t v = 0; v < numVirt; ++v) {
        // The sequence number counts packets that are built: a refused
        // sample takes none, so collectors see no gap for it.
        const uint32_t seq = numPkts;
        const IPFIXTemplSet& tmpl = block->metricsTemplate[v];
        // A refusal is logged once, not at every sample, until a sample of
        // that virtual sensor goes out again.
        std::vector<bool>::reference refusalLogged = block->refusalLogged[v];
        const bool logRefusal = !refusalLogged;
        uint32_t templateLength = 0;
        // Once every collector holds the templates only the message header
        // of the template packet is used: build the rest only when a
        // collector still needs it.
        if (!templatePacketNeeded(block, v)) {
            writeMessageHeader(ipfixTemplatePacket, exportTime, seq);
        } else if (!buildTemplatePacket(block, v, exportTime, seq, &templateLength)) {
            if (logRefusal)
                logger->logError(
                    "Templates of sensor %s (virtual sensor %u) do not fit into one "
                    "IPFIX message; its data is not exported",
                    sensor->getName().c_str(), v);
            refusalLogged = true;
            allSent = false;
            continue;
        }

        const dataSet_t& rows = data[v];
        const uint64_t total = static_cast<uint64_t>(rows.numSets) * rows.setLength;
        const size_t recordLength = tmpl.getDataSetMemorySize();
        if (total != 0 && rows.setLength != recordLength) {
            if (logRefusal)
                logger->logError("Template length: %ld, data set length: %d",
                                 static_cast<long>(recordLength), static_cast<int>(rows.setLength));
            refusalLogged = true;
            allSent = false;
            continue;
        }
        if (total > UINT32_MAX || recordLength > MAX_RECORDS_LEN) {
            if (logRefusal)
                logger->logError(
                    "Data of sensor %s (virtual sensor %u) cannot be split into IPFIX "
                    "messages; it is not exported",
                    sensor->getName().c_str(), v);
            refusalLogged = true;
            allSent = false;
            continue;
        }
        refusalLogged = false;
        ++numPkts;

        uint32_t offset = 0;
        do {
            std::memcpy(ipfixPacket, ipfixTemplatePacket, sizeof(IPFIX));
            uint32_t length = sizeof(IPFIX);
            if (total != 0) offset = addDataSet(&rows, offset, tmpl, ipfixPacket, &length);
            putU16(ipfixPacket + 2, static_cast<uint16_t>(length));
            if (!deliver(block, ipfixPacket, length, ipfixTemplatePacket, templateLength, v))
                allSent = false;
        } while (offset != 0);
    }
    return allSent;
}

// ---- export to collectors (controller thread) ----

void SensorCtrl::beginSample() {
    if (collectorState.size() != outputSockets.size()) {
        collectorState.resize(outputSockets.size());
        std::lock_guard<std::mutex> lock(fdLock);
        collectorFds.resize(outputSockets.size(), -1);
        for (size_t i = 0; i < outputSockets.size(); ++i)
            collectorFds[i] = outputSockets[i]->sockFD;
    }
    for (CollectorState& c : collectorState) {
        c.failedThisSample = false;
        c.usableThisSample = false;
    }
    connectsStarted = false;
}

void SensorCtrl::startConnections(SensorCtrlBlock* block, uint32_t v, time_t now) {
    std::vector<size_t> fresh;
    for (size_t i = 0; i < outputSockets.size(); ++i) {
        const Socket* s = outputSockets[i];
        CollectorState& c = collectorState[i];
        if (c.failedThisSample || c.usableThisSample || s->connecting || s->connected) continue;
        if (startConnection(i, block, v, now))
            fresh.push_back(i);
        else
            c.failedThisSample = true;
    }
    // Load tests use a fresh connection in the same call; the wait for it is
    // one bounded wait for all of them together.
    if (!fresh.empty()) awaitConnects(fresh, BLASTER_CONNECT_WAIT_MS, false);
}

void SensorCtrl::awaitConnects(const std::vector<size_t>& which, int64_t boundMs, bool watchStop) {
    std::vector<pollfd> fds;
    for (size_t i : which)
        if (outputSockets[i]->connecting && outputSockets[i]->sockFD >= 0)
            fds.push_back(pollfd{outputSockets[i]->sockFD, POLLOUT, 0});
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!fds.empty() && !(watchStop && stopPending())) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t waited =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        const int64_t left = boundMs - waited;
        if (left <= 0) break;
        // In slices, so that a stop request is seen soon.
        const int r =
            poll(fds.data(), fds.size(),
                 static_cast<int>(watchStop ? std::min<int64_t>(left, STOP_CHECK_MS) : left));
        if (r < 0 && errno != EINTR) break;
        fds.erase(
            std::remove_if(fds.begin(), fds.end(), [](const pollfd& p) { return p.revents != 0; }),
            fds.end());
    }
}

bool SensorCtrl::sendIPFIXPackets(SensorCtrlBlock* block, const char* dataPacket,
                                  uint32_t dataLength, const char* templatePacket,
                                  uint32_t templateLength, uint32_t virtualSensor) {
    beginSample();
    return deliver(block, dataPacket, dataLength, templatePacket, templateLength, virtualSensor);
}

void SensorCtrl::logConnectionFailure(size_t i, const char* what) {
    CollectorState& c = collectorState[i];
    if (c.inOutage) return;
    c.inOutage = true;
    reportNextConnectionError = false;
    Socket* s = outputSockets[i];
    if (what == nullptr) {
        logger->logError("Failed to connect to collector at %s (%s) for service %s, will retry",
                         s->destHost.c_str(), s->remoteAddr.as_string.c_str(),
                         s->destService.c_str());
        return;
    }
    std::string text;
    const int err = s->getLastError(text);
    logger->logError("Error on socket to %s: %s (%d)", s->destHost.c_str(), text.c_str(), err);
}

void SensorCtrl::dropConnection(size_t i) {
    resetConnectionStatus(outputSockets[i]);
    closeCollector(i);
}

void SensorCtrl::closeCollector(size_t i) {
    std::lock_guard<std::mutex> lock(fdLock);
    outputSockets[i]->closeSocket(false);
    collectorFds[i] = -1;
}

void SensorCtrl::noteCollectorFd(size_t i) {
    std::lock_guard<std::mutex> lock(fdLock);
    collectorFds[i] = outputSockets[i]->sockFD;
}

void SensorCtrl::interruptSends() {
    stopSending = true;
    std::lock_guard<std::mutex> lock(fdLock);
    for (int fd : collectorFds)
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

bool SensorCtrl::startConnection(size_t i, SensorCtrlBlock* block, uint32_t v, time_t now) {
    Socket* s = outputSockets[i];
    CollectorState& c = collectorState[i];
    if (blasterTimeOut != 0) {
        // Load tests use the connection at once, when it comes up within
        // the wait that startConnections allows all new ones together. A
        // blocking connect here would hold the controller for as long as an
        // unreachable collector takes to fail.
        if (!s->connectAsync()) {
            logConnectionFailure(i, nullptr);
            closeCollector(i);
            return false;
        }
        noteCollectorFd(i);
        block->setTemplateSent(s, v, false);
        return true;
    }
    // At most one connection start per second per collector, however many
    // sensors report in that second.
    if (c.lastStart == now) return false;
    if (s->connectFailures >= 10 && now - s->lastResolveTime >= 60) {
        const std::string oldAddress = s->remoteAddr.as_string;
        if (!s->refreshRemoteAddrsList()) {
            logger->logError("Failed to resolve collector %s ip address, will retry",
                             s->destHost.c_str());
            return false;
        }
        if (s->remoteAddr.as_string != oldAddress)
            logger->logWarning(
                "The ip address of collector %s has changed, old Address was: %s, new address "
                "is: %s",
                s->destHost.c_str(), oldAddress.c_str(), s->remoteAddr.as_string.c_str());
    }
    c.lastStart = now;
    if (s->connectAsync()) {
        noteCollectorFd(i);
    } else {
        logConnectionFailure(i, nullptr);
        closeCollector(i);
    }
    block->setTemplateSent(s, v, false);
    // The data goes out on a later sample, once the connection is up.
    return false;
}

bool SensorCtrl::peerClosed(const Socket* s) {
    char byte;
    const ssize_t n = recv(s->sockFD, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0;
}

bool SensorCtrl::deliver(SensorCtrlBlock* block, const char* dataPacket, uint32_t dataLength,
                         const char* templatePacket, uint32_t templateLength, uint32_t v) {
    if (outputSockets.empty()) {
        reportNextConnectionError = true;
        return true;
    }
    const time_t now = time(nullptr);
    if (!connectsStarted && !stopSending) {
        startConnections(block, v, now);
        connectsStarted = true;
    }
    bool ok = true;
    for (size_t i = 0; i < outputSockets.size(); ++i) {
        Socket* s = outputSockets[i];
        CollectorState& c = collectorState[i];
        // A collector that failed earlier in this sample is skipped for the
        // rest of it; the others still get every packet. Nothing is sent
        // any more once a stop broke the sends.
        if (c.failedThisSample || stopSending) {
            ok = false;
            continue;
        }
        // A connection found sound for an earlier packet of this sample is
        // not examined again: each check costs system calls per packet.
        bool sent = true;
        if (!c.usableThisSample) {
            // A pending connect is looked at without waiting: one that does
            // not complete (a host that never answers) would otherwise cost
            // every sample a wait, and the live collectors their samples.
            if (!s->checkConnection(0)) {
                if (!s->connecting && !s->connected) {
                    // The pending connect failed (refused, timed out).
                    logConnectionFailure(i, "socket");
                    dropConnection(i);
                }
                c.failedThisSample = true;
                ok = false;
                continue;
            }
            // One poll shows a healthy connection (nothing to read, no
            // error); only otherwise are the error and end of stream read.
            pollfd state = {s->sockFD, POLLIN, 0};
            const bool quiet = poll(&state, 1, 0) == 0;
            if (!quiet && s->hasError() != 0) {
                logConnectionFailure(i, "socket");
                dropConnection(i);
                c.failedThisSample = true;
                ok = false;
                continue;
            }
            // A collector never sends; a readable end of stream means it
            // closed the connection, and whatever is sent now would be lost.
            sent = quiet || !peerClosed(s);
            if (sent) s->setBlock();
        }
        if (sent && !block->isTemplateSent(s, v)) {
            sent = s->sendBlocking(templatePacket, templateLength) ==
                   static_cast<ssize_t>(templateLength);
            block->setTemplateSent(s, v, sent);
        }
        if (sent)
            sent = s->sendBlocking(dataPacket, dataLength) == static_cast<ssize_t>(dataLength);
        if (sent) {
            c.usableThisSample = true;
            s->resetFailureCount();
            c.inOutage = false;
            if (s->connecting) {
                s->resetConnectingFlag();
                logger->logInfo("Connection to %s (%s) successfully established.",
                                s->destHost.c_str(), s->remoteAddr.as_string.c_str());
            }
            continue;
        }
        if (!stopSending)
            logger->logError("Sending to %s failed. Reconnecting!", s->destHost.c_str());
        dropConnection(i);
        c.failedThisSample = true;
        ok = false;
    }
    if (ok) reportNextConnectionError = true;
    return ok;
}
