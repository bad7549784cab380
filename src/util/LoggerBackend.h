// The one process-wide log writer. It owns the log target (a file, standard
// output, standard error or the system log) and a thread "Logger" that takes
// requests from its queue, suppresses runs of identical messages per
// component and writes the lines.
//
// The program entry creates it with createAndInitLogger, changes its threshold
// on reload and destroys it last; components log through LoggerStub. The
// backend's own log operations write at once on the calling thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>

#include "Actor.h"
#include "Logger.h"
#include "Thread.h"

namespace LogNameSpace {

enum logCmd : int32_t {
    logReqCmd = 1,  // write one line; any other command stops the backend
};

struct LogMsgHdr {
    logCmd command;
    uint32_t totalLen;  // always sizeof(LogReq)
};

// One queued log line. The stub allocates it zero-filled; the backend deletes
// it after writing it, the stub when it cannot be queued.
struct LogReq {
    LogMsgHdr hdr;
    time_t timestamp;
    char component[24];  // at most 23 characters, NUL-terminated
    char msg[1024];      // at most 1023 characters, NUL-terminated
    ErrorSeverity severity;
    char _pad[4];
};
static_assert(sizeof(LogReq) == 1072, "a log request is 1072 bytes");

}  // namespace LogNameSpace

class LoggerBackend : private Actor<LogNameSpace::LogReq*>, public Logger {
  public:
    // Creates, initialises and starts the singleton. False when the target
    // cannot be opened or the thread cannot start. A second creation while
    // one exists aborts the process.
    static bool createAndInitLogger(LogNameSpace::ErrorSeverity threshold, const char* target,
                                    bool enabled);
    // Stops the thread after it has written everything queued, then deletes
    // the singleton. Without a backend it does nothing.
    static void destroy();
    static LoggerBackend* getInstance();
    // Without a backend it does nothing.
    static void setSeverityThreshold(LogNameSpace::ErrorSeverity threshold);

    bool init();
    bool isEnabled() const { return enabled.load(std::memory_order_relaxed); }
    LogNameSpace::ErrorSeverity getSeverityThreshold() const {
        return severityThreshold.load(std::memory_order_relaxed);
    }

    // Writes one line now, on the calling thread.
    void log(time_t timestamp, const char* component, int severity, const char* msg) const;
    void printLog(const char* component, LogNameSpace::ErrorSeverity severity, const char* fmt,
                  ...) const VELMAR_PRINTF(4, 5);
    void printLog(time_t timestamp, const char* component, LogNameSpace::ErrorSeverity severity,
                  const char* fmt, ...) const VELMAR_PRINTF(5, 6);

    void logDebug(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logInfo(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logWarning(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logError(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logFatalAndStop(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);

    void readAndProcess(LogNameSpace::LogReq*& request) override;

    ~LoggerBackend() override;

    // Holds the live backend for as long as the object lives: destroy() does
    // not delete a backend while a Use that found it exists. backend() is
    // null when there was none. Keep a Use for the few steps of queuing one
    // line only, since destroy() waits for it.
    class Use {
      public:
        Use();
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        LoggerBackend* backend() const { return found; }

      private:
        LoggerBackend* found;
    };

  private:
    friend class LoggerStub;

    LoggerBackend(LogNameSpace::ErrorSeverity threshold, const char* target, bool enabled);
    void timerEvent(unsigned long, void*) override {}
    SyncQueue<LogNameSpace::LogReq*>& requestQueue() { return getMsgQueue(); }

    // Set once at construction or in init(), before the thread starts.
    std::string logfileName;
    FILE* logFile;
    bool useSyslog;
    // Read by stubs on every thread without a lock.
    std::atomic<LogNameSpace::ErrorSeverity> severityThreshold;
    std::atomic<bool> enabled;

    // Guarded by `mutex`.
    static LoggerBackend* logger;
    static Thread* logThread;
    static pthread_mutex_t mutex;
    // Mirrors `logger` for the stubs' lock-free reads.
    static std::atomic<LoggerBackend*> live;
    // Uses in progress. A Use counts itself before it reads `live`, and
    // destroy() clears `live` before it waits for the count to drop to zero;
    // both sequentially consistent, so either the Use sees null or destroy
    // sees the Use.
    static std::atomic<int> users;
};
