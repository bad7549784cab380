// The sensor controller: the daemon's scheduler. One instance exists, made on
// the main thread by startSensorCtrl, which opens one TCP socket per
// configured collector and builds the sensors from the configuration. It then
// runs on its own thread "SensorCtrl": that thread starts one sensor thread
// per sensor (startSensorCtrl waits for that much), drives every sensor
// through registration, init, periodic sampling and shutdown with the
// messages of sensorProto.h, keeps one periodic timer per operating sensor,
// and exports every sample: the packets are written by IPFIXPacket and sent
// to every collector by CollectorLinks (SensorCtrlExport.cpp).
//
// Ownership: the controller owns its blocks (each block owns its sensor), its
// collector links (which own the sockets), its logger and its queue. The main
// thread talks to it through ctrlQueue: the stop request and period changes
// on reload (and, when a stop times out, links.interruptSends).
//
// Threads, by member:
// - set on the main thread before the controller thread starts, read-only
//   afterwards: sensors, socketTimeout, blasterTimeOut,
//   blasterTimeDelta, sensorLogPkt;
// - controller thread only: numPkts, the packet buffers, errBuf, the blocks'
//   run state, request count, queue and template-sent map, the sensors' timer
//   ids, the timer list, and links (see CollectorLinks.h for its own rules);
// - shared: sensorThreadsStarted (set by the controller thread, read by
//   startSensorCtrl through its future), ctrlQueue (SyncQueue's own lock),
//   logger (a LoggerStub may be used by several threads), the sensors'
//   periods (atomic; the reloading thread writes one before it pushes
//   sensorUpdatePeriod, the controller reads it after popping that message),
//   and links.interruptSends, through which the main thread ends the
//   collector connections and all sends at stop.
// - main thread after the controller thread ended: everything, in
//   terminateSensorCtrl.
#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "CollectorLinks.h"
#include "IPFIXPacket.h"
#include "IPFIXTemplSet.h"
#include "LoggerStub.h"
#include "SensorCtrlBlock.h"
#include "Socket.h"
#include "Thread.h"
#include "TimerList.h"
#include "sensorProto.h"

namespace Cfg {
class Configuration;
class ParamDefStore;
class ParamValStore;
}  // namespace Cfg

// Reserves the template identifier of the controller's own log messages.
// Those messages go to the local log only; no packet carries this template.
struct IPFIXSensorLogPkt {
    uint16_t templateID = 0;
};

class SensorCtrl : public Runnable {
  public:
    // Reads socketTimeout and the collectors from `config` (which must be
    // set), opens one socket per collector and starts connecting. Normally
    // called by startSensorCtrl; tests build one without starting a thread.
    SensorCtrl();

    // Creates the controller, reads the sensor list and starts the controller
    // thread, then waits until that thread has started the sensor threads.
    // 0 when started, -1 otherwise: also when one already runs, and when
    // sensors are configured but none of their threads could start (the
    // controller is then stopped again).
    static int startSensorCtrl(LoggerStub* logger, const Cfg::Configuration* config);
    // Asks the controller to stop, waits a bounded time for its thread and
    // for the sensor threads, and deletes the controller. A sensor whose
    // thread is still inside it is left alive rather than freed.
    static void terminateSensorCtrl(LoggerStub* logger);
    static SensorCtrl* getSensorCtrl() { return sensorCtrl; }

    // Adds a hook that terminateSensorCtrl runs once the controller thread
    // has ended and before it waits for the sensor threads: it ends the
    // children of a channel that a sensor thread is still waiting on, so the
    // thread can finish and no child outlives the daemon. Adding the same
    // hook again has no effect. Any thread.
    static void addStopHook(void (*hook)());

    // Set by the program before startSensorCtrl: true once a stop has been
    // asked for. The waits of the start-up on the main thread (collector
    // connects in Blaster mode, the singleton election) give way to it, so
    // that a stop takes effect in every state. Called on the main thread
    // only. Null: never.
    static bool (*stopRequested)();
    static bool stopPending() { return stopRequested != nullptr && stopRequested(); }

    // Reloading thread: applies changed sensor periods from cfg.
    void updateSensorPeriod(const Cfg::Configuration& cfg);
    void updateSensorRemoteFSmonitor(bool value);

    // Main thread, before the controller thread starts. False for a null
    // sensor or a second sensor with the same identity (nothing is added;
    // the caller keeps the sensor).
    bool addSensor(AbstractSensor* sensor, sensorQueue_t* queue);
    SensorCtrlBlock* findSensorByID(SensorID::SensorID id);
    // Delay of a sensor's first poll, in microseconds, for a period in
    // microseconds; `name` is used only in the log line.
    uint64_t getInitialDelay(uint64_t period, std::string name);
    // Formats into errBuf (cut to fit), appends ": text (errno N)" when errnum
    // is not 0 and there is room, and logs the result at Error.
    void sendLogMsg(int errnum, const char* format, ...) VELMAR_PRINTF(3, 4);
    void dumpSensorPeriod();

    void* run(void* args) override;
    ~SensorCtrl() override;

    // Sensor list configuration (SensorCtrlConfig.cpp; a generic sensor's
    // meta-file in GenericMetaFile.cpp), main thread, once, right after
    // construction.
    void parseSensorConfig();
    // A new sensor of that name with its period and filter set, owned by the
    // caller; null when no sensor of that name exists.
    AbstractSensor* getSensorByName(const std::string& name, int period, std::string filter);
    void createGenericSensor(const Cfg::ParamDefStore* metaSchema,
                             const Cfg::ParamValStore* emptyStore,
                             const Cfg::ParamValStore& sensorEntry, const std::string& name,
                             int period);

    // IPFIX packets of one sample (controller thread). The packet layouts are
    // drawn in IPFIXPacket.h beside the code that writes them.
    bool prepareIPFIXPacket(SensorCtrlBlock* block, uint32_t exportTime, const dataSet_t* data);

    // terminateSensorCtrl waits JOIN_SECONDS for the controller thread, then,
    // after breaking its sends and asking it to leave at once, LEAVE_SECONDS
    // more; then up to REPLY_GRACE_MICROS for the answers of sensor threads
    // still busy with a request.
    static constexpr unsigned int JOIN_SECONDS = 3;
    static constexpr unsigned int LEAVE_SECONDS = 1;
    static constexpr uint64_t REPLY_GRACE_MICROS = 500000;

    // The configuration in effect, set before the controller makes its sensors
    // and threads; read by sensors (their node name) from their own threads.
    static const Cfg::Configuration* config;
    static const char* const name;

    // Set on the main thread before the thread starts; see the file comment.
    std::vector<SensorCtrlBlock*> sensors;  // owned, configuration order
    int socketTimeout;                      // seconds
    int64_t blasterTimeOut;                 // µs; not 0 in Blaster mode
    uint64_t blasterTimeDelta;              // ms, Blaster logical clock step
    sensorQueue_t ctrlQueue;
    LoggerStub* logger;    // owned, "SensorCtrl"
    CollectorLinks links;  // the collector connections; owns the sockets

    // Controller thread only (after start).
    uint32_t numPkts;  // IPFIX sequence counter

    // Set once by the controller thread after it tried to start every sensor
    // thread: how many started. startSensorCtrl waits for it.
    std::promise<size_t> sensorThreadsStarted;

  private:
    // "Text of the error" for log lines; strerror_r in its GNU form.
    static std::string errnoText(int err);

    // State of the controller thread's loop.
    struct LoopState {
        TimerList<SensorCtrlBlock*> timers;
        bool delayInitialPoll = true;
        bool stopping = false;        // the stop request was handled
        uint32_t startedSensors = 0;  // registered and not yet answered shutdown
    };

    // Controller thread.
    static bool isReply(msgCmd cmd);
    // Pushes a request and counts it as awaiting a reply.
    bool sendToSensor(SensorCtrlBlock* block, msgCmd cmd);
    // True when the loop must end.
    bool handleMessage(sensorMsgHdr* msg, LoopState& st);
    void pollSensor(SensorCtrlBlock* block);
    void sendDataRequest(SensorCtrlBlock* block);
    // Blaster mode: the pause, then the next data request.
    void blasterRequest(SensorCtrlBlock* block);
    // Replaces the sensor's timer, if any, by one with its current period;
    // a period of 0 leaves it without timer.
    void armTimer(SensorCtrlBlock* block, LoopState& st, uint64_t delay);
    void disarmTimer(SensorCtrlBlock* block, LoopState& st);
    void logStatusReply(SensorCtrlBlock* block, const sensorStatusRepMsg& rep);

    // Logs a failed push of a request; `format` holds one %s, the sensor's name.
    void logSendFailure(SensorCtrlBlock* block, const char* format);

    // Main thread, at stop, after the controller thread ended: true when
    // every sensor thread ended and the controller may be deleted.
    bool waitForSensorThreads(Logger* out);

    static Thread* thread;
    static SensorCtrl* sensorCtrl;
    // Controllers that could not be deleted at stop because a thread may
    // still run in them; kept reachable for the rest of the process (the list
    // itself is never destroyed, not even at exit).
    static std::vector<SensorCtrl*>& abandoned();
    static void runStopHooks();

    char errBuf[252] = {};
    IPFIXSensorLogPkt sensorLogPkt;
    // Packet buffers, reused for every sample (controller thread). Aligned so
    // that the block copy of a sample's records runs at full speed. Not
    // zeroed: every byte sent is written first, and untouched pages of these
    // 128 KiB cost no memory.
    alignas(64) char ipfixPacket[IPFIXPacket::PACKET_BUFFER_LEN];
    alignas(64) char ipfixTemplatePacket[IPFIXPacket::PACKET_BUFFER_LEN];

  private:
    // Sensor list configuration (SensorCtrlConfig.cpp): its private helpers
    // go in this section.
};
