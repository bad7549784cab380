// The part every channel to a request-answering child program shares (the
// generic proxy, Ceph relay, statistics relay and command relay channels):
// the child over two pipes, the Error line for a start that failed at a given
// stage, the spacing of restarts on the monotonic clock, closing, and giving
// up on a child that may still be writing. Each channel keeps its own
// protocol, its own texts and its own singleton rules.
//
// Ownership: a channel owns its ChildChannel as a member, and through it the
// child process, its pipes and the line reader over the child's output. The
// logger is the channel's own, borrowed for the core's lifetime.
//
// The child leads a process group of its own, and whatever ends the channel
// (a close, a time-out, the daemon's stop) ends that whole group, so that
// nothing a proxy or relay started outlives the channel (except processes
// that leave the group on purpose).
//
// Threads: the channel serialises every call under its own lock (one
// exchange or close at a time), except abandonForStop, which the main thread
// calls at daemon stop without that lock: it reads the atomic flags and
// reaches the child only through ChildProcess::signalGroup, which is safe
// beside the owner.
//
// ToolChild, below, is the one-shot kind of child: a tool the daemon runs
// itself for one answer. Its runs take part in the same stop.
#pragma once

#include <atomic>
#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LineReader.h"
#include "LoggerStub.h"

class ChildChannel {
  public:
    // The Error line logged when a start fails at a stage. In each text
    // "{path}" stands for the program, "{error}" for the text of the error
    // and "{errno}" for its number.
    struct StartTexts {
        const char* pipe;      // the pipes could not be created
        const char* fork;      // fork failed
        const char* redirect;  // the child could not set up its streams
        const char* exec;      // the child could not run the program
        const char* busy;      // the previous child is still attached
    };
    // The texts that most channels share.
    static constexpr const char* PIPE_TEXT = "Could not create pipes: {error} ({errno})";
    static constexpr const char* REDIRECT_TEXT = "Could not duplicate file descriptors!";
    static constexpr const char* RELAY_BUSY_TEXT =
        "Could not start {path}: the previous relay is still attached";

    struct Setup {
        // Where the child's standard error goes.
        ChildProcess::ErrorOutput error = ChildProcess::ErrorOutput::Inherit;
        // Exit status of a child that could not redirect its streams or exec.
        int failStatus = 69;
        // A restart needs the current monotonic second to be more than this
        // past the last start attempt.
        time_t restartGap = 2;
        // Whether a start that could not even create its pipes counts as an
        // attempt; when it does not, the next request may try again at once.
        bool pipeFailureCounts = true;
        // Longest line of the reader over the child's output; 0 for no
        // reader (the channel reads the descriptor itself).
        std::size_t maxLine = 0;
        LineReader::Overflow overflow = LineReader::Overflow::Drop;
        // How long a child told to end at daemon stop has before SIGKILL;
        // 0 leaves the channel out of abandonForStop.
        int stopGraceMs = 0;
    };

    ChildChannel(const LoggerStub& log, const StartTexts& texts, const Setup& setup);
    // Ends the child's group, as close() does.
    ~ChildChannel();
    ChildChannel(const ChildChannel&) = delete;
    ChildChannel& operator=(const ChildChannel&) = delete;

    // Starts path with argv after closing what an earlier attempt left; true
    // when both pipes are open. A failure logs its stage's text. A channel
    // abandoned at stop starts nothing, and a child whose start the stop
    // overtook is ended at once.
    bool start(const std::string& path, const std::vector<std::string>& argv);
    // Starts path again when the channel is closed and the restart gap has
    // passed; true when the channel is open afterwards.
    bool restartIfDue(const std::string& path, const std::vector<std::string>& argv);
    // Whether the restart gap since the last start attempt has passed.
    bool restartGapPassed() const { return throttle.mayStart(monotonicSeconds()); }
    bool isOpen() const { return child.inputFd() >= 0 && child.outputFd() >= 0; }
    // Monotonic seconds of the last start attempt that counted.
    time_t lastAttemptTime() const { return throttle.lastAttemptTime(); }

    // Closes the pipes and ends the child and its group
    // (ChildProcess::release), after sending the group endSignal when that
    // is not 0.
    void close(int endSignal = 0);
    // Gives up on a child that may still be writing: a relay told to end
    // ends its tool first, so its group gets SIGTERM, the pipes are closed,
    // and it has graceMs to end before the rest of its group is ended.
    void abandon(int graceMs);

    // Drops what the child sent that answers no request (a late or repeated
    // reply): what the reader holds and what can be read at once. Called
    // before a request is written, so that such bytes are never taken for
    // its answer; a drop is logged as a Warning (alreadyDropped counts bytes
    // the channel itself held and dropped). False when the child has
    // closed its output, the read failed or it sent more than limit bytes:
    // the channel can no longer be trusted to keep in step, and the caller
    // closes it.
    bool discardUnsolicited(std::size_t limit, std::size_t alreadyDropped = 0);

    // The child, and the reader over its output (null while closed or without
    // one), for the channel's own protocol. The reader reports Ended when the
    // child has ended while others hold its output open; the channel is then
    // closed like one whose child closed its output, which ends the rest of
    // the group.
    ChildProcess& process() { return child; }
    const ChildProcess& process() const { return child; }
    LineReader* lines() { return reader.get(); }

    // The daemon's stop hook: marks every live channel with a stopGraceMs
    // stopping, and every tool run (ToolChild) from now on refused, sends
    // SIGTERM to the group of each channel with an exchange under way and of
    // each running tool, all at once, then waits for those to finish and
    // sends SIGKILL to the group of each one still busy once its own grace
    // has passed. Main thread, without the channels' locks.
    static void abandonForStop();
    bool isStopping() const { return stopping.load(); }

    // Marks the channel busy for the life of one exchange, for
    // abandonForStop. The exchange goes ahead only when refused() is false:
    // looked at after the mark, so that a stop either finds the exchange
    // busy or is seen by it.
    class Exchange {
      public:
        explicit Exchange(ChildChannel& c) : flag(c.busy), stop(c.stopping) { flag.store(true); }
        ~Exchange() { flag.store(false); }
        Exchange(const Exchange&) = delete;
        Exchange& operator=(const Exchange&) = delete;
        bool refused() const { return stop.load(); }

      private:
        std::atomic<bool>& flag;
        const std::atomic<bool>& stop;
    };

  private:
    // Whether the child has ended, for a reader watching a child without a
    // pidfd.
    bool childEnded() const;

    // Set by the constructor.
    const LoggerStub& log;
    const StartTexts texts;
    const Setup setup;

    // Written under the channel's lock, read by abandonForStop without it.
    std::atomic<bool> busy{false};      // an exchange is under way
    std::atomic<bool> stopping{false};  // abandoned at stop: no more requests

    // Under the channel's lock.
    std::string program;  // the path of the last start
    ChildProcess child;
    std::unique_ptr<LineReader> reader;
    RestartThrottle throttle;
};

// One run of a tool the daemon runs itself for an answer (a host sensor's
// tool, the configuration repository's query), its input on /dev/null. The
// tool leads a process group of its own, and the group is ended
// (ChildProcess::endGroup) at the answer, at a time-out and at the daemon's
// stop, so that nothing the tool started outlives the answer: once the tool
// has ended, what is left of its group is ended, also a child that still
// holds the output open and would otherwise hold the answer until the
// time-out. A keeper of the daemon sits in the group (ChildProcess::Options::
// endedWithOwner), so that a daemon killed outright leaves no tool behind.
//
// A run made with endedAtStop is ended by ChildChannel::abandonForStop
// together with the busy channels; once that stop has begun, a run is
// refused, and one whose start the stop overtook is ended at once. A run on
// the main thread, which the stop hook cannot overtake, watches the stop
// itself (SensorCtrl::stopPending) and ends the tool through end().
//
// Threads: one owner; abandonForStop reaches the child only through
// ChildProcess::signalGroup.
class ToolChild {
  public:
    // How long a tool told to end has before SIGKILL.
    static constexpr int GRACE_MS = 500;

    ToolChild(ChildProcess::ErrorOutput error, bool endedAtStop);
    // Ends the tool's group, as end(0) does.
    ~ToolChild();
    ToolChild(const ToolChild&) = delete;
    ToolChild& operator=(const ToolChild&) = delete;

    // False when the tool could not be run or the stop refused it.
    bool start(const std::string& path, const std::vector<std::string>& argv);
    // Waits up to timeoutMs (< 0: for ever) for output and reads what there
    // is (see FdIo::readSome). A tool seen to end has the rest of its group
    // ended first, so that the output then ends with its last writer.
    FdIo::IoResult read(void* buf, std::size_t cap, std::size_t& got, int timeoutMs);
    // Closes the output and ends the tool's group, once the tool has had up
    // to waitMs to end by itself.
    void end(int waitMs);
    // Whether the daemon's stop has begun: what a run under way collected
    // may then be cut short.
    static bool stopBegun();

  private:
    friend class ChildChannel;  // abandonForStop

    const ChildProcess::ErrorOutput error;
    const bool endedAtStop;
    // Set while the run is known to abandonForStop (from a start it did not
    // refuse to the end of end()); read by it without the owner.
    std::atomic<bool> busy{false};
    // Owner's thread.
    ChildProcess child;
    bool registered = false;
};
