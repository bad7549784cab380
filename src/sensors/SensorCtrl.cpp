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

std::string SensorCtrl::errnoText(int err) {
    char buf[128];
    // GNU strerror_r may return a static string instead of filling buf.
    return strerror_r(err, buf, sizeof buf);
}

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
        // A sensor waiting on a relay or proxy would hold the controller
        // until its tool answers, however long that takes: the stop hooks
        // end such exchanges at once and refuse new ones, so a poll under
        // way ends at its next request. A reply the child has already
        // written is still read whole.
        runStopHooks();
        hooksRun = true;
        if (!thread->joinTimed(nullptr, JOIN_SECONDS)) {
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
