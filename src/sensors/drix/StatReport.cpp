#include "StatReport.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>

#include "TallyqResponse.h"

namespace StatReport {

const Texts NODE_TEXTS = {
    "No results received from tallyq, no metrics to report.",
    "Mtallyq error: %s.",
    "Error from tallyq: %d, no metrics to report ",
    false,
};

void fail(const Logger& log, bool& sourceOK, bool sourcePrevOK, const char* format, ...) {
    sourceOK = false;
    if (!sourcePrevOK) return;
    // Formatted here, so the logger sees the finished text as an argument.
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log.logError("%s", message);
}

void succeed(const Logger& log, bool& sourceOK, bool sourcePrevOK) {
    sourceOK = true;
    if (!sourcePrevOK) log.logInfo("%s", RESUMED);
}

int32_t returnCode(const TallyqResponse& reply, const Logger& log) {
    uint32_t code = 0;
    reply.getRecordList().front().getInt32Main("_rc_", code, log);
    return static_cast<int32_t>(ntohl(code));
}

bool refused(const TallyqResponse* reply, bool& sourceOK) {
    if (reply == nullptr || !reply->isFatal()) return false;
    sourceOK = false;
    return true;
}

bool acceptReply(const TallyqResponse* reply, const std::string& request, const Texts& texts,
                 const Logger& log, bool& sourceOK, bool sourcePrevOK) {
    if (refused(reply, sourceOK)) return false;
    const char* req = request.c_str();
    if (reply == nullptr || !reply->isResponse() || reply->getNumRecords() == 0) {
        if (reply != nullptr && reply->isError()) {
            const char* name = reply->getName().c_str();
            if (texts.withRequest)
                fail(log, sourceOK, sourcePrevOK, texts.errorReply, req, name);
            else
                fail(log, sourceOK, sourcePrevOK, texts.errorReply, name);
        } else if (texts.withRequest) {
            fail(log, sourceOK, sourcePrevOK, texts.noReply, req);
        } else {
            // Without the request the text holds no conversions.
            fail(log, sourceOK, sourcePrevOK, "%s", texts.noReply);
        }
        return false;
    }
    const int32_t code = returnCode(*reply, log);
    if (code != 0) {
        if (texts.withRequest)
            fail(log, sourceOK, sourcePrevOK, texts.badCode, req, code);
        else
            fail(log, sourceOK, sourcePrevOK, texts.badCode, code);
        return false;
    }
    succeed(log, sourceOK, sourcePrevOK);
    return true;
}

}  // namespace StatReport
