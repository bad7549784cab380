// Per-component logger. Every channel, sensor, sensor thread, the controller
// and the program entry own one, named after themselves. It formats on the
// caller's thread, filters by the backend's threshold and queues the line to
// the backend; no caller waits for the log target.
//
// It writes to whichever backend exists when a line is logged. Without a
// backend (before creation or after destroy) it writes nothing and never
// crashes. It may log while LoggerBackend::destroy() runs on another thread
// (a sensor thread left running at shutdown): destroy waits for a line being
// queued, and a line logged after it began is dropped.
#pragma once

#include <cstdarg>
#include <string>

#include "Logger.h"
#include "SyncQueue.h"

namespace LogNameSpace {
struct LogReq;
}
class LoggerBackend;

class LoggerStub : public Logger {
  public:
    explicit LoggerStub(const std::string& name);

    const char* getName() const { return compName.c_str(); }
    // True when the message was dropped (no backend, backend disabled or below
    // threshold), else the result of queuing it.
    bool printLog(LogNameSpace::ErrorSeverity severity, const char* text) const;

    void logDebug(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logInfo(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logWarning(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logError(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logFatalAndStop(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);

  private:
    void logv(LogNameSpace::ErrorSeverity severity, const char* fmt, va_list ap) const
        VELMAR_PRINTF(3, 0);

    std::string compName;
};
