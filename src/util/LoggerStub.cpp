#include "LoggerStub.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "LoggerBackend.h"

using namespace LogNameSpace;

// The backend is looked up on every call rather than kept from construction:
// a stub outliving one backend must not write through a deleted one.
LoggerStub::LoggerStub(const std::string& name) : compName(name) {}

bool LoggerStub::printLog(ErrorSeverity severity, const char* text) const {
    LoggerBackend::Use use;
    LoggerBackend* backend = use.backend();
    if (backend == nullptr || !backend->isEnabled() || backend->getSeverityThreshold() > severity)
        return true;

    LogReq* req = new LogReq();
    req->hdr.command = logReqCmd;
    req->hdr.totalLen = sizeof(LogReq);
    req->timestamp = std::time(nullptr);
    std::strncpy(req->component, compName.c_str(), sizeof(req->component) - 1);
    std::strncpy(req->msg, text, sizeof(req->msg) - 1);
    req->severity = severity;
    if (backend->requestQueue().pushBack(req)) return true;

    delete req;
    std::printf("%s: %s\n", compName.c_str(), text);
    std::printf("Logging failed: %s\n", std::strerror(errno));
    std::fflush(stdout);
    return false;
}

void LoggerStub::logv(ErrorSeverity severity, const char* fmt, va_list ap) const {
    char buf[1024];
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    printLog(severity, buf);
}

#define VELMAR_STUB_LOG(severity) \
    do {                          \
        va_list ap;               \
        va_start(ap, fmt);        \
        logv(severity, fmt, ap);  \
        va_end(ap);               \
    } while (0)

// Debug and Info below the threshold are dropped before any formatting.
#define VELMAR_RETURN_IF_BELOW(severity)                                              \
    do {                                                                              \
        LoggerBackend::Use use;                                                       \
        LoggerBackend* backend = use.backend();                                       \
        if (backend == nullptr || backend->getSeverityThreshold() > severity) return; \
    } while (0)

void LoggerStub::logDebug(const char* fmt, ...) const {
    VELMAR_RETURN_IF_BELOW(esDebug);
    VELMAR_STUB_LOG(esDebug);
}

void LoggerStub::logInfo(const char* fmt, ...) const {
    VELMAR_RETURN_IF_BELOW(esInfo);
    VELMAR_STUB_LOG(esInfo);
}

void LoggerStub::logWarning(const char* fmt, ...) const { VELMAR_STUB_LOG(esWarning); }
void LoggerStub::logError(const char* fmt, ...) const { VELMAR_STUB_LOG(esError); }
void LoggerStub::logFatalAndStop(const char* fmt, ...) const { VELMAR_STUB_LOG(esFatal); }
