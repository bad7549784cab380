#include "LoggerBackend.h"

#include <sched.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>

using namespace LogNameSpace;

LoggerBackend* LoggerBackend::logger = nullptr;
Thread* LoggerBackend::logThread = nullptr;
pthread_mutex_t LoggerBackend::mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<LoggerBackend*> LoggerBackend::live{nullptr};
std::atomic<int> LoggerBackend::users{0};

namespace {

// Serialises log(): the repeat-suppression maps and the writes to the target.
// Normally only the "Logger" thread writes, but the backend's own log
// operations may be called from any thread.
pthread_mutex_t writeMutex = PTHREAD_MUTEX_INITIALIZER;

// Repeat-suppression state per component name, guarded by writeMutex. Never
// freed, so that a line logged while the process exits finds them intact.
std::map<std::string, std::string>& lastMessages() {
    static auto* m = new std::map<std::string, std::string>();
    return *m;
}
std::map<std::string, uint32_t>& lastMessagesCount() {
    static auto* m = new std::map<std::string, uint32_t>();
    return *m;
}

}  // namespace

LoggerBackend::LoggerBackend(ErrorSeverity threshold, const char* target, bool enable)
    : logfileName(target ? target : ""),
      logFile(nullptr),
      useSyslog(logfileName == "syslog"),
      severityThreshold(threshold),
      enabled(enable) {
    setLog(static_cast<Logger*>(this));
}

LoggerBackend::~LoggerBackend() {
    if (logFile != nullptr) {
        std::fflush(logFile);
        // The standard streams belong to the process, not to the backend.
        if (logFile != stderr && logFile != stdout) std::fclose(logFile);
        logFile = nullptr;
    }
    setTerminated();
}

bool LoggerBackend::createAndInitLogger(ErrorSeverity threshold, const char* target, bool enable) {
    pthread_mutex_lock(&mutex);
    if (logger != nullptr) {
        std::fputs("LoggerBackend initialized twice!\n", stderr);
        std::abort();
    }
    logger = new LoggerBackend(threshold, target, enable);
    if (logger->init()) {
        logThread = new Thread("Logger", *logger, nullptr);
        if (logThread->start()) {
            live.store(logger, std::memory_order_release);
            pthread_mutex_unlock(&mutex);
            return true;
        }
    }
    delete logThread;
    logThread = nullptr;
    delete logger;
    logger = nullptr;
    pthread_mutex_unlock(&mutex);
    return false;
}

void LoggerBackend::destroy() {
    pthread_mutex_lock(&mutex);
    if (logger == nullptr) {
        pthread_mutex_unlock(&mutex);
        return;
    }
    live.store(nullptr);
    // A stub that found the backend is queuing one line; once the count is
    // zero no stub can reach it any more, and everything queued is written.
    while (users.load() != 0) sched_yield();
    logger->stop();
    logThread->join(nullptr);
    delete logThread;
    logThread = nullptr;
    delete logger;
    logger = nullptr;
    pthread_mutex_unlock(&mutex);
}

LoggerBackend::Use::Use() {
    users.fetch_add(1);
    found = live.load();
}

LoggerBackend::Use::~Use() { users.fetch_sub(1); }

LoggerBackend* LoggerBackend::getInstance() {
    pthread_mutex_lock(&mutex);
    LoggerBackend* l = logger;
    pthread_mutex_unlock(&mutex);
    return l;
}

void LoggerBackend::setSeverityThreshold(ErrorSeverity threshold) {
    pthread_mutex_lock(&mutex);
    if (logger != nullptr) logger->severityThreshold.store(threshold, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex);
}

bool LoggerBackend::init() {
    if (useSyslog) {
        openlog("Velmar", LOG_PID, LOG_USER);
        logFile = stderr;
    } else if (logfileName == "stdout") {
        logFile = stdout;
    } else if (logfileName.empty() || logfileName == "stderr") {
        logFile = stderr;
    } else {
        // Close-on-exec: the programs and tools the daemon starts must not
        // inherit the log file.
        logFile = std::fopen(logfileName.c_str(), "ae");
        if (logFile == nullptr) {
            int err = errno;
            logFile = stderr;
            logError("Could not open file %s: Error %s", logfileName.c_str(), std::strerror(err));
            return false;
        }
        setvbuf(logFile, nullptr, _IOLBF, 1024);
    }
    setReady();
    return true;
}

void LoggerBackend::log(time_t timestamp, const char* component, int severity,
                        const char* msg) const {
    char timeText[20];
    struct tm tmv;
    localtime_r(&timestamp, &tmv);
    if (std::strftime(timeText, sizeof(timeText), "%b-%d %H:%M:%S ", &tmv) == 0) timeText[0] = '\0';

    if (severity <= 0) severity = esDebug;
    if (severity >= 6) severity = esFatal;
    const char* sevName = ErrorSeverityName[severity - 1];
    if (component == nullptr) component = "";
    if (msg == nullptr) msg = "";

    pthread_mutex_lock(&writeMutex);
    auto& texts = lastMessages();
    auto& counts = lastMessagesCount();
    bool writeNormal = true;
    uint32_t repeats = 0;
    auto it = texts.find(component);
    if (it != texts.end() && it->second == msg) {
        repeats = ++counts[component];
        // A wrapped count is written as a normal line.
        writeNormal = repeats == 0;
    } else {
        texts[component] = msg;
        counts[component] = 0;
    }

    // Without a target (a failed init wrote through stderr) nothing is lost.
    FILE* out = logFile != nullptr ? logFile : stderr;
    if (writeNormal) {
        if (useSyslog)
            syslog(syslog_prio[severity], "[%-7s] %s: %s\n", sevName, component, msg);
        else
            std::fprintf(out, "%s [%-7s] %s: %s\n", timeText, sevName, component, msg);
    } else if (repeats % 10000 == 0) {
        if (useSyslog)
            syslog(syslog_prio[severity], "[%-7s] %s: deduplicated message %i times: %s\n", sevName,
                   component, static_cast<int>(repeats), msg);
        else
            std::fprintf(out, "%s [%-7s] %s: deduplicated message %i times: %s\n", timeText,
                         sevName, component, static_cast<int>(repeats), msg);
    }
    if (!useSyslog) std::fflush(out);

    if (severity == esFatal) _exit(70);
    pthread_mutex_unlock(&writeMutex);
}

void LoggerBackend::printLog(const char* component, ErrorSeverity severity, const char* fmt,
                             ...) const {
    VELMAR_FORMAT_LOG_ARGS(buf);
    log(std::time(nullptr), component, severity, buf);
}

void LoggerBackend::printLog(time_t timestamp, const char* component, ErrorSeverity severity,
                             const char* fmt, ...) const {
    VELMAR_FORMAT_LOG_ARGS(buf);
    log(timestamp, component, severity, buf);
}

#define VELMAR_BACKEND_LOG(severity)                      \
    do {                                                  \
        VELMAR_FORMAT_LOG_ARGS(buf);                      \
        log(std::time(nullptr), "Logger", severity, buf); \
    } while (0)

void LoggerBackend::logDebug(const char* fmt, ...) const { VELMAR_BACKEND_LOG(esDebug); }
void LoggerBackend::logInfo(const char* fmt, ...) const { VELMAR_BACKEND_LOG(esInfo); }
void LoggerBackend::logWarning(const char* fmt, ...) const { VELMAR_BACKEND_LOG(esWarning); }
void LoggerBackend::logError(const char* fmt, ...) const { VELMAR_BACKEND_LOG(esError); }
void LoggerBackend::logFatalAndStop(const char* fmt, ...) const { VELMAR_BACKEND_LOG(esFatal); }

void LoggerBackend::readAndProcess(LogReq*& request) {
    if (request == nullptr) return;
    if (request->hdr.command == logReqCmd) {
        // The stub terminates both fields; a request is never trusted to.
        request->component[sizeof(request->component) - 1] = '\0';
        request->msg[sizeof(request->msg) - 1] = '\0';
        printLog(request->timestamp, request->component, request->severity, "%s", request->msg);
    } else {
        stop();
    }
    delete request;
    request = nullptr;
}
