#include "SensorCtrl.h"

#include <malloc.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>

#include "Configuration.h"
#include "IPFIXPacket.h"
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
// While a collector's backlog waits, the controller wakes at least this
// often to send it on as the socket drains.
constexpr int64_t BACKLOG_FLUSH_MICROS = 10000;

std::string errnoText(int err) {
    char buf[128];
    // GNU strerror_r may return a static string instead of filling buf.
    return strerror_r(err, buf, sizeof buf);
}

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

// ---- construction, start and stop (main thread) ----

SensorCtrl::SensorCtrl()
    : socketTimeout(60),
      blasterTimeOut(0),
      blasterTimeDelta(0),
      logger(new LoggerStub(name)),
      links(sensors, *logger),
      numPkts(0) {
    const Cfg::ParamValStore* params = config != nullptr ? &config->getParamStore() : nullptr;

    int32_t tcpTimeout = 0;
    if (params != nullptr && params->getInt(Cfg::SENSORTCPTIMEOUT, tcpTimeout) && tcpTimeout > 0) {
        socketTimeout = tcpTimeout;
        logger->logWarning("Sensor socket timeout is changed to %i seconds", socketTimeout);
    }

    links.open(params, socketTimeout);

    // Taken before any sensor block exists, so sensor templates start after it.
    sensorLogPkt.templateID = IPFIXTemplSet::createNewTempalteID();
}

SensorCtrl::~SensorCtrl() {
    for (SensorCtrlBlock* block : sensors) delete block;
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
    std::future<size_t> started = sensorCtrl->sensorThreadsStarted.get_future();
    if (thread->start()) {
        // The controller thread starts the sensor threads first, which does
        // not block, so this wait is short. A daemon none of whose sensors
        // runs would only look alive.
        const size_t configured = sensorCtrl->sensors.size();
        if (started.get() > 0 || configured == 0) return 0;
        Logger* out = log != nullptr ? static_cast<Logger*>(log) : sensorCtrl->logger;
        out->logError("None of the %zu configured sensors could be started", configured);
        terminateSensorCtrl(log);
        return -1;
    }

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
    bool hooksRun = false;
    if (thread != nullptr) {
        if (!sendEvent(ctrl->ctrlQueue, sensorShutdownReq, SensorID::Controller) && out != nullptr)
            out->logError("Could not send control message to sensor controller.");
        // Exchanges under way get a moment to finish; a sensor still
        // waiting on a relay or proxy after it would hold the controller
        // past the join's time-out, so their children are ended then.
        constexpr unsigned int EXCHANGE_SECONDS = 1;
        bool joined = thread->joinTimed(nullptr, EXCHANGE_SECONDS);
        if (!joined) {
            runStopHooks();
            hooksRun = true;
            joined = thread->joinTimed(nullptr, JOIN_SECONDS - EXCHANGE_SECONDS);
        }
        if (!joined) {
            if (out != nullptr)
                out->logInfo("Thread join failed. Going to kill thread: %s",
                             thread->getName().c_str());
            // The controller waits for a sensor that does not answer. End
            // the sends and ask once more: a second stop request makes it
            // leave at once. Cancelling is the last resort, for a thread that
            // still does not end.
            ctrl->links.interruptSends();
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

    if (!hooksRun) runStopHooks();

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
        auto named = std::find_if(sensors.begin(), sensors.end(), [&](SensorCtrlBlock* b) {
            return b->sensor->getName() == sensorName;
        });
        if (named == sensors.end()) continue;

        AbstractSensor* sensor = (*named)->sensor;
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
