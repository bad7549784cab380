// Request lines of the command relays: split by the line reader, then matched
// against both dispatch tables. Any argument that reaches a tool must be free
// of NUL bytes, and not an option unless the table put it there; empty ones pass.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "AdmCmdDispatch.h"
#include "CapqDispatch.h"
#include "CommandRelay.h"
#include "LineReader.h"

namespace {

void check(const std::vector<CommandRelay::DispatchRow>& table, const std::string& line) {
    const std::string bin = "/b/";
    CommandRelay::Dispatch d = CommandRelay::dispatchRequest(table, line, bin);
    if (d.outcome != CommandRelay::Dispatch::Run) return;
    if (d.cmd.compare(0, bin.size(), bin) != 0) __builtin_trap();
    for (const std::string& p : d.params) {
        if (p.find('\0') != std::string::npos) __builtin_trap();
        // Only the tables' own options begin with '-'.
        if (!p.empty() && p[0] == '-' && p != "-Y" && p != "-m" && p != "-j" && p != "--pool" &&
            p != "--seconds") {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 60000) return 0;  // must fit in the pipe before anything reads it
    int fds[2];
    if (pipe(fds) != 0) return 0;
    if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    close(fds[1]);
    LineReader reader(fds[0], 64);
    std::string line;
    for (;;) {
        LineReader::Status st = reader.readLine(line, 0);
        if (st == LineReader::Status::Eof || st == LineReader::Status::Error ||
            st == LineReader::Status::TimedOut) {
            break;
        }
        if (line.size() > 64 || line.find('\n') != std::string::npos) __builtin_trap();
        check(Capq::dispatchTable(), line);
        check(AdmCmd::dispatchTable(), line);
    }
    close(fds[0]);
    return 0;
}
