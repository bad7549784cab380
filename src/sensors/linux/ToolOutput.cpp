#include "ToolOutput.h"

#include <cstdint>

#include "ChildChannel.h"
#include "FdIo.h"
#include "SensorCtrl.h"

namespace {

constexpr int MIN_TOOL_TIMEOUT_MS = 5000;

}  // namespace

ToolResult runTool(const std::string& path, const std::vector<std::string>& argv, int timeoutMs,
                   size_t maxBytes, std::string& output) {
    output.clear();
    // A sensor thread may be in a tool when the daemon stops.
    SensorCtrl::addStopHook(ChildChannel::abandonForStop);
    ToolChild tool(ChildProcess::ErrorOutput::Inherit, true);
    if (!tool.start(path, argv)) return ToolResult::NotStarted;

    FdIo::Deadline deadline(timeoutMs);
    ToolResult result = ToolResult::Ok;
    char buf[8192];
    for (;;) {
        size_t got = 0;
        const FdIo::IoResult r = tool.read(buf, sizeof buf, got, deadline.remainingMs());
        if (r == FdIo::IoResult::Eof) break;
        if (r == FdIo::IoResult::TimedOut) {
            result = ToolResult::TimedOut;
            break;
        }
        if (r == FdIo::IoResult::Error) {
            result = ToolResult::ReadError;
            break;
        }
        if (output.size() + got > maxBytes) {
            // Keep whole lines only: a cut last line could pass for a
            // complete, and wrong, one.
            output.append(buf, maxBytes - output.size());
            const size_t nl = output.rfind('\n');
            output.resize(nl == std::string::npos ? 0 : nl + 1);
            result = ToolResult::Truncated;
            break;
        }
        output.append(buf, got);
    }
    // Once the output is complete, a tool that closed it but lingers gets
    // what is left of the time-out before it is ended with its group.
    tool.end(result == ToolResult::Ok ? deadline.remainingMs() : 0);
    // The stop may have ended the tool before it finished: what it printed
    // then is no answer.
    if (ToolChild::stopBegun()) {
        output.clear();
        return ToolResult::NotStarted;
    }
    return result;
}

int toolTimeoutMs(uint64_t periodInMicroSecs) {
    const uint64_t ms = periodInMicroSecs / 1000;
    if (ms < MIN_TOOL_TIMEOUT_MS) return MIN_TOOL_TIMEOUT_MS;
    if (ms > INT32_MAX) return INT32_MAX;
    return static_cast<int>(ms);
}
