#include "ToolOutput.h"

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "ChildProcess.h"
#include "FdIo.h"

namespace {

// After SIGKILL a child normally ends at once; one stuck in the kernel (a
// tool waiting on a failing disk) is left to be reaped later rather than
// holding the sensor.
constexpr int REAP_AFTER_KILL_MS = 1000;
constexpr int MIN_TOOL_TIMEOUT_MS = 5000;

void endChild(ChildProcess& child) {
    child.closeOutput();
    child.signal(SIGKILL);
    child.wait(REAP_AFTER_KILL_MS);
    child.release();
}

}  // namespace

ToolResult runTool(const std::string& path, const std::vector<std::string>& argv, int timeoutMs,
                   size_t maxBytes, std::string& output) {
    output.clear();
    ChildProcess child;
    ChildProcess::Options options;
    options.input = ChildProcess::Input::Null;
    options.output = ChildProcess::Output::Pipe;
    options.error = ChildProcess::ErrorOutput::Inherit;
    if (!child.start(path, argv, options).ok()) return ToolResult::NotStarted;

    FdIo::Deadline deadline(timeoutMs);
    char buf[8192];
    for (;;) {
        size_t got = 0;
        const FdIo::IoResult r = child.read(buf, sizeof buf, got, deadline.remainingMs());
        if (r == FdIo::IoResult::Eof) break;
        if (r == FdIo::IoResult::TimedOut) {
            endChild(child);
            return ToolResult::TimedOut;
        }
        if (r == FdIo::IoResult::Error) {
            endChild(child);
            return ToolResult::ReadError;
        }
        if (output.size() + got > maxBytes) {
            // Keep whole lines only: a cut last line could pass for a
            // complete, and wrong, one.
            output.append(buf, maxBytes - output.size());
            const size_t nl = output.rfind('\n');
            output.resize(nl == std::string::npos ? 0 : nl + 1);
            endChild(child);
            return ToolResult::Truncated;
        }
        output.append(buf, got);
    }
    child.closeOutput();
    // The output is complete; a tool that closed it but lingers is ended
    // rather than waited for.
    const ChildProcess::WaitResult w = child.wait(deadline.remainingMs());
    if (!w.reaped && w.err == ETIMEDOUT) endChild(child);
    child.release();
    return ToolResult::Ok;
}

int toolTimeoutMs(uint64_t periodInMicroSecs) {
    const uint64_t ms = periodInMicroSecs / 1000;
    if (ms < MIN_TOOL_TIMEOUT_MS) return MIN_TOOL_TIMEOUT_MS;
    if (ms > INT32_MAX) return INT32_MAX;
    return static_cast<int>(ms);
}
