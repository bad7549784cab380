#include "StdOutLogger.h"

#include <signal.h>
#include <unistd.h>

#include <cstdarg>

using namespace LogNameSpace;

void StdOutLogger::log(time_t timestamp, int severity, const char* msg) const {
    if (severity < esDebug) severity = esDebug;
    if (severity > esFatal) severity = esFatal;
    char timeText[20];
    struct tm tmv;
    localtime_r(&timestamp, &tmv);
    if (std::strftime(timeText, sizeof(timeText), "%b-%d %H:%M:%S ", &tmv) == 0) timeText[0] = '\0';
    std::fprintf(logFile, "%s [%-7s]: %s\n", timeText, ErrorSeverityName[severity - 1],
                 msg ? msg : "");
    std::fflush(logFile);
    if (severity == esFatal) kill(getpid(), SIGTERM);
}

#define VELMAR_CONSOLE_LOG(severity)            \
    do {                                        \
        VELMAR_FORMAT_LOG_ARGS(buf);            \
        log(std::time(nullptr), severity, buf); \
    } while (0)

void StdOutLogger::logDebug(const char* fmt, ...) const { VELMAR_CONSOLE_LOG(esDebug); }
void StdOutLogger::logInfo(const char* fmt, ...) const { VELMAR_CONSOLE_LOG(esInfo); }
void StdOutLogger::logWarning(const char* fmt, ...) const { VELMAR_CONSOLE_LOG(esWarning); }
void StdOutLogger::logError(const char* fmt, ...) const { VELMAR_CONSOLE_LOG(esError); }
void StdOutLogger::logFatalAndStop(const char* fmt, ...) const { VELMAR_CONSOLE_LOG(esFatal); }
