// Per-component logger. Every channel, sensor, sensor thread, the controller
// and the program entry own one, named after themselves. It formats on the
// caller's thread, filters by the backend's threshold and queues the line to
// the backend; no caller waits for the log target.
//
// It writes to whichever backend exists when a line is logged. Without a
// backend (before creation or after destroy) it writes nothing and never
// crashes. It must not be used while LoggerBackend::destroy() runs.
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
