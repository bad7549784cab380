// Runs a system tool for one sample of a host sensor and collects its standard
// output: hddtemp, ibstatus and df.
//
// The tool is started through the shared child-process helper, without a
// shell, its standard input on /dev/null and its standard error left as the
// daemon's own, in a process group of its own (ToolChild) that is ended at
// the answer, at the time-out and at the daemon's stop. Its exit status is
// not examined: a sensor judges a tool by what it printed. A free function
// without state, called on the sensor's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class ToolResult {
    Ok,          // output holds everything the tool printed
    NotStarted,  // the tool could not be run, or the daemon's stop ended it; output is empty
    TimedOut,    // the tool printed nothing more within the time-out and was ended
    Truncated,   // the output exceeded the cap; output holds its complete lines
    ReadError    // reading the pipe failed; output holds what came before
};

// Runs `path` with `argv` (argv[0] included) and collects at most maxBytes of
// its output. A tool still running when timeoutMs has passed is ended with
// its group (SIGTERM, SIGKILL after a grace), so a hanging tool costs one
// time-out, never the sensor thread.
ToolResult runTool(const std::string& path, const std::vector<std::string>& argv, int timeoutMs,
                   size_t maxBytes, std::string& output);

// The wait a sensor allows its tool: its poll period, but at least 5 seconds
// so that a short period does not fail a slow but healthy tool.
int toolTimeoutMs(uint64_t periodInMicroSecs);
