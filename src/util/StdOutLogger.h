// Synchronous console loggers: each line is written and flushed at once on
// the calling thread. They serve before the logging backend exists and in
// programs without one (the configuration tools, meta-file parsing). No
// component name, threshold or repeat suppression. A Fatal line is followed
// by SIGTERM to the own process, whose own handling decides what follows.
#pragma once

#include <cstdio>
#include <ctime>

#include "Logger.h"

class StdOutLogger : public Logger {
  public:
    StdOutLogger() : logFile(stdout) {}

    void logDebug(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logInfo(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logWarning(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logError(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);
    void logFatalAndStop(const char* fmt, ...) const override VELMAR_PRINTF(2, 3);

    // Writes one preformatted line with the given time. Severities below 1
    // are written as Debug, 6 and above as Fatal.
    void log(time_t timestamp, int severity, const char* msg) const;

  protected:
    FILE* logFile;
};

class StdErrLogger : public StdOutLogger {
  public:
    StdErrLogger() { logFile = stderr; }
};
