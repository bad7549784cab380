// The request loop and tool runner shared by CapqRelay and AdmCmdRelay. Each
// program supplies only its dispatch table and its end marker.
//
// Relay line protocol: one request per line on standard input; the answer is
// the tool's standard output and standard error, byte for byte in the order
// the pipe received them, then the end-marker line on a line of its own (a
// line end is added when the tool's output does not end with one). Every
// answer ends with the marker, also "Unknown query", a refused request and a
// tool that could not be started, because the daemon's reader waits for that
// line with no time-out.
//
// Single-threaded: one request at a time, one tool child (and its guard) at a
// time, both reaped before the marker is written. The relay adopts what its
// tools leave orphaned outside their group (a daemon); while it waits for a
// request it reaps such an orphan as soon as it ends, and after a request
// those that ended while the tool ran.
//
// A tool runs in a process group of its own, and while it runs a guard
// process of the relay waits in that group, which it joins before the tool
// is let run: should the relay die without its
// own clean-up (SIGKILL, a crash, the memory killer), the guard sees its
// lifeline pipe close and ends the group (SIGTERM, then SIGKILL after
// toolGraceMs). Being a member, the guard also keeps the group's id from
// naming another group. What a tool leaves running in its group is ended
// as soon as the tool itself has ended, also while it holds the tool's
// output open (SIGTERM, then SIGKILL after toolGraceMs); the rest of the
// output is then read and the marker written.
// A tool or child that leaves its group and session on purpose (a daemon) is
// not tracked.
//
// End of input is not a stop: every request read before it is served, also
// a last one without a line end, and the relay then exits 0. It ends the
// tool's group early (SIGTERM, then SIGKILL after toolGraceMs) and exits only
// when told to end (SIGTERM, SIGHUP, SIGINT) or when nobody reads its
// answers any more (its output's reader has gone, as when the daemon exits or
// gives up on the relay). Both are watched the whole time a tool runs: while
// its output is copied, while a copy waits for room in the output, and while
// the relay waits for a tool that has closed its output but not ended. While
// no tool runs those signals keep their default action.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace CommandRelay {

// Directory of the filesystem's administration tools, reached through
// Platform::path.
constexpr char toolDirectory[] = "/usr/vnx/qorm/bin/";

// The longest request line served; requests are a word and a filesystem name.
constexpr std::size_t maxRequestLength = 4096;

// execCmd copies the tool's output through a buffer of this size.
constexpr std::size_t copyBufferSize = 512;

// How long a tool's group has after SIGTERM before SIGKILL.
constexpr int toolGraceMs = 500;

// How a dispatch row matches a request line.
enum class Match {
    WholeLine,           // the line equals the word
    Prefix,              // the line begins with the word; one argument follows the first ':'
    PrefixNameAndPeriod  // the line begins with the word; "word:name:period"
};

// One entry of a row's argument vector.
struct Arg {
    enum Kind {
        Text,      // text as given
        ToolPath,  // the tool's full path (tool directory + file)
        Name,      // the name cut from the request line
        Period     // the period cut from the request line ("iqlsqos")
    } kind;
    const char* text;
};

struct DispatchRow {
    const char* word;
    Match match;
    const char* toolFile;  // file name inside the tool directory
    std::vector<Arg> args;
};

// The outcome of matching one request line.
struct Dispatch {
    enum Outcome { Run, Unknown, Refused } outcome = Unknown;
    std::string cmd;                  // Run: the path of the tool
    std::vector<std::string> params;  // Run: its argument vector, argv[0] first
    std::string message;              // Refused: the line to answer, without line end
};

// Literal arguments from a null-terminated array of strings.
std::vector<Arg> literalArgs(const char* const* params);

// Argument text after the first ':' to the end of the line (later colons kept);
// the whole line when it holds no ':'.
std::string argumentAfterDelimiter(const std::string& line);

// Splits "word:name:period" at the first two ':'. Both are empty when either
// ':' is missing; the period keeps later colons.
void nameAndPeriod(const std::string& line, std::string& name, std::string& period);

// Why a name or period taken from a request may not reach a tool, or null
// when it may: it begins with '-' (the tool would take it for an option) or
// holds a NUL byte (the argument would be cut short). An empty one passes.
const char* argumentRefusal(const std::string& arg);

// Matches line against the rows in order; the first matching row wins.
// binDir is the tool directory with its trailing '/'.
Dispatch dispatchRequest(const std::vector<DispatchRow>& table, const std::string& line,
                         const std::string& binDir);

// What became of one request's tool.
enum class ToolOutcome {
    Ran,     // ran and was reaped; its answer is complete
    NotRun,  // could not be started or waited for; answered with a message
    Stopped  // a stop signal or the loss of the output's reader ended its group; no marker
};

// What ended a tool early, filled in by execCmd.
struct StopWatch {
    int signalFd = -1;        // a signalfd of the stop signals to watch, -1 for none
    int signal = 0;           // set to the stop signal that came, if any
    bool readerGone = false;  // set when the output's reader went away
};

// Runs one tool in a process group of its own, guarded as described above,
// with /dev/null as its standard input and its standard output and error on
// one pipe, copies everything it writes to outFd, reaps it and writes
// endMarker. A failure to start it is answered with one line before the
// marker. outFd's reader going away always ends the tool; the stop signals
// do when watch holds their signalfd.
ToolOutcome execCmd(const std::string& cmd, const std::vector<std::string>& params, int outFd,
                    const std::string& endMarker, StopWatch* watch = nullptr);

// Serves request lines from inFd until end of input, answering on outFd, then
// closes both. Returns the exit status: 0, 128 plus the stop signal that
// ended a running tool, or 128 + SIGPIPE when the output's reader went away
// while a tool ran (the status a shell shows for a writer with no reader).
int runCommandRelay(const std::vector<DispatchRow>& table, const std::string& binDir,
                    const std::string& endMarker, int inFd, int outFd);

}  // namespace CommandRelay
