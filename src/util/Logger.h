// The logging interface every component writes through. Implementations:
// LoggerBackend (the one process-wide writer thread), LoggerStub (a cheap
// per-component logger that queues to the backend) and StdOutLogger /
// StdErrLogger (synchronous console loggers for tools and early start-up).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace LogNameSpace {

enum ErrorSeverity : int32_t {
    esDebug = 1,
    esInfo = 2,
    esWarning = 3,
    esError = 4,
    esFatal = 5,
};

// Indexed by severity - 1.
extern const char* const ErrorSeverityName[5];
// Indexed by the severity itself; entry 0 is debug.
extern const int syslog_prio[6];

}  // namespace LogNameSpace

#define VELMAR_PRINTF(a, b) __attribute__((format(printf, a, b)))

// Inside a variadic log method whose format parameter is `fmt`: declares
// `char buf[1024]` holding the formatted message, cut to fit.
#define VELMAR_FORMAT_LOG_ARGS(buf)                       \
    char buf[1024];                                       \
    do {                                                  \
        va_list velmarArgs;                               \
        va_start(velmarArgs, fmt);                        \
        std::vsnprintf(buf, sizeof buf, fmt, velmarArgs); \
        va_end(velmarArgs);                               \
    } while (0)

class Logger {
public:
    virtual void logDebug(const char* fmt, ...) const VELMAR_PRINTF(2, 3) = 0;
    virtual void logInfo(const char* fmt, ...) const VELMAR_PRINTF(2, 3) = 0;
    virtual void logWarning(const char* fmt, ...) const VELMAR_PRINTF(2, 3) = 0;
    virtual void logError(const char* fmt, ...) const VELMAR_PRINTF(2, 3) = 0;
    virtual void logFatalAndStop(const char* fmt, ...) const VELMAR_PRINTF(2, 3) = 0;
    virtual ~Logger() = default;
};
