// One child process started with fork and execv, with its standard streams
// connected to pipes, /dev/null or left as the parent's own. It serves both
// ways a program here runs others: run a tool and collect its output (the
// command relays), and keep a long-lived child that answers requests over two
// pipes (the proxy and relay channels of the daemon).
//
// Ownership: a ChildProcess owns its child, its pipe ends and a pidfd of the
// child, and is used by one thread at a time (the owner serialises access, as
// a channel does under its own lock); only signal() may also be called from
// another thread, to end a child whose owner is stuck waiting on it.
// Whoever starts a child ends it: release() and the destructor close the
// pipes and, when the child has not ended by then, send it SIGTERM and, after
// TERM_GRACE_MS, SIGKILL, and reap it, so no child outlives its owner. An
// owner that wants the exit status calls wait() first.
//
// Signals go through the pidfd taken right after the fork, never by pid: the
// daemon ignores SIGCHLD, so an ended child is reaped by the system at once
// and its pid may already name another process.
//
// Safety of the start:
// - every pipe is created close-on-exec, so children started later, from any
//   thread, never inherit another child's pipe ends;
// - between fork and exec the child makes only async-signal-safe calls (the
//   argument vector is built before the fork);
// - the child resets every signal to its default action and clears its signal
//   mask before exec, so a tool never inherits an ignored SIGPIPE or SIGCHLD;
// - no shell: the tool runs by exactly the given path with exactly the given
//   argument vector;
// - a failed redirection or exec is reported back to start() through a
//   close-on-exec status pipe, so start() tells "could not run" apart from
//   "ran and printed nothing", and the failed child is reaped at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "FdIo.h"

class ChildProcess {
  public:
    enum class Input {
        Inherit,  // the parent's standard input
        Null,     // /dev/null: a tool can never read the parent's input
        Pipe      // a pipe written through writeAll()
    };
    enum class Output {
        Inherit,  // the parent's standard output
        Pipe      // a pipe read through read()
    };
    enum class ErrorOutput {
        Inherit,  // the parent's standard error
        ToOutput  // joins the standard output, in the order written
    };
    struct Options {
        Input input = Input::Null;
        Output output = Output::Pipe;
        ErrorOutput error = ErrorOutput::ToOutput;
        // Exit status of a child that could not redirect its streams or exec.
        int failStatus = 255;
        // The child leads a process group of its own, so that it can be
        // ended together with whatever it starts (endGroup).
        bool ownGroup = false;
        // Called in the parent with the child's pid once the child leads its
        // group (with ownGroup) and before it runs the program: the child
        // waits for it to return, and ends without running the program when
        // the parent dies first. Lets the caller put a watcher into the group
        // before the program can start anything.
        std::function<void(pid_t)> beforeExec;
    };

    // Where a start failed. err is the errno of the failing call.
    enum class Stage { None, Busy, Pipe, DevNull, Fork, Redirect, Exec };
    struct StartResult {
        Stage stage = Stage::None;
        int err = 0;
        bool ok() const { return stage == Stage::None; }
    };

    struct WaitResult {
        bool reaped = false;  // status is valid
        int status = 0;       // as from waitpid
        pid_t returned = 0;   // waitpid's result (-1 on failure, 0 on time-out)
        int err = 0;          // errno when not reaped (ETIMEDOUT on time-out)
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts path with argv (argv[0] included; an empty argv gets the path as
    // argv[0]). Fails with Stage::Busy while a started child is still
    // unreaped or a pipe is open; release() first to start another.
    StartResult start(const std::string& path, const std::vector<std::string>& argv,
                      const Options& options);

    pid_t pid() const { return childPid; }
    // The parent's pipe ends, -1 when not a pipe or closed.
    int inputFd() const { return toChild; }
    int outputFd() const { return fromChild; }

    // Reads what the child wrote on its output pipe (see FdIo::readSome).
    FdIo::IoResult read(void* buf, std::size_t cap, std::size_t& got, int timeoutMs);
    // Writes to the child's input pipe (see FdIo::writeAll).
    FdIo::IoResult writeAll(const void* data, std::size_t len, int timeoutMs);
    FdIo::IoResult writeAll(const std::string& text, int timeoutMs) {
        return writeAll(text.data(), text.size(), timeoutMs);
    }

    // Closing the input pipe gives the child end of input, the usual way to
    // ask a relay or proxy to end.
    void closeInput();
    void closeOutput();

    // Waits for the child to end and reaps it; timeoutMs < 0 waits for ever.
    // Under an ignored SIGCHLD the system reaps the child itself and this
    // returns not reaped with ECHILD; the child is forgotten either way.
    WaitResult wait(int timeoutMs = -1);

    // Sends sig to the child through its pidfd while it is not yet reaped;
    // false otherwise, also when the child has already ended. Where the
    // system has no pidfds it falls back to the pid. Any thread.
    bool signal(int sig);

    // For a child started with ownGroup: sends its group SIGTERM and, once
    // the child has ended or graceMs have passed, SIGKILL, then reaps the
    // child. The group is signalled only while the child is unreaped, so its
    // id cannot name another group yet.
    void endGroup(int graceMs);

    // For a child started with ownGroup: sends sig to every process of its
    // group, also once the child itself has ended while others of the group
    // run on; false when no process got it. The signal goes through the
    // pidfd, so it can never reach a group that took the id later; where the
    // system cannot signal a group that way, it goes by the group id, and
    // only while the child is not yet reaped (its pid then still holds the
    // id). Any thread, as signal().
    bool signalGroup(int sig);

    // How long release() waits for a child to end by itself once its input
    // is closed, and after SIGTERM before it sends SIGKILL.
    static constexpr int EXIT_WAIT_MS = 50;
    static constexpr int TERM_GRACE_MS = 250;

    // Closes the pipes, ends a child that is still running (see the top of
    // this header; at most about exitWaitMs + TERM_GRACE_MS + 1 s) and
    // forgets it. The object can then start another child. A child started
    // with ownGroup is ended with its whole group: once the child has ended,
    // or exitWaitMs have passed, what is left of the group gets SIGTERM and,
    // when the group has not ended within TERM_GRACE_MS, SIGKILL.
    void release(int exitWaitMs = EXIT_WAIT_MS);

  private:
    // True when the child has ended (and was reaped, by wait() or the system).
    bool ended(int timeoutMs);
    // Drops the handle of a child that is reaped or given up.
    void forget();
    // For release, which keeps the handle of a group's leader until the
    // group has ended: true once the child has ended, waiting up to timeoutMs; reaps it
    // without forgetting it.
    bool leaderEnded(int timeoutMs);
    // True once no process of the group is left (one that has ended but is
    // not yet reaped still counts), waiting up to timeoutMs.
    bool groupEnded(int timeoutMs);

    // Written by the owner with handleLock held; read by signal() and
    // signalGroup() under it.
    std::mutex handleLock;
    pid_t childPid = 0;        // 0 when no unreaped child is known
    int pidFd = -1;            // the child's pidfd while childPid is set, else -1
    bool groupLeader = false;  // started with ownGroup
    // Set by release once it has reaped the child while it still signals
    // the group: the group id is then no longer the child's to use.
    bool leaderReaped = false;
    int toChild = -1;
    int fromChild = -1;
};

// Whole seconds of the monotonic clock: restarts are spaced on it, so a wall
// clock stepped back cannot keep a channel down for the size of the step.
time_t monotonicSeconds();

// Allows a new start only when the current time in whole seconds is greater
// than the last start attempt plus the gap, so that a broken child is not
// forked again at every request.
class RestartThrottle {
  public:
    explicit RestartThrottle(time_t gapSeconds = 2) : gap(gapSeconds) {}
    bool mayStart(time_t now) const { return now > lastAttempt + gap; }
    void noteAttempt(time_t now) { lastAttempt = now; }
    time_t lastAttemptTime() const { return lastAttempt; }

  private:
    time_t gap;
    time_t lastAttempt = 0;
};
