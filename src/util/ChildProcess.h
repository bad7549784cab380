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
// and its pid may already name another process. A group goes by its id only
// where the kernel cannot name it through the pidfd, and only while a
// process the owner has not reaped holds the id (see signalGroup). Ending a
// group (signalGroup, endGroup, the keeper and the look for what is left of
// a group) is a unit of its own, GroupEnd.cpp (see GroupEnd.h); starting a
// child and waiting for it are here.
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
        // before the program can start anything; it returns the watcher's
        // pid (0 for none), which the caller ends itself and endGroup does
        // not wait for.
        std::function<pid_t(pid_t)> beforeExec;
        // With ownGroup: a keeper (see keeperPid) sits in the group on every
        // kernel, not only where it must hold the group id, so that the
        // group ends also when the owner is killed outright. For a tool run
        // for one answer, which its owner's death would otherwise leave
        // hung.
        bool endedWithOwner = false;
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
    // The child's pidfd, readable once the child has ended (reaped or not),
    // for a caller that polls its end beside the pipes; -1 without a child
    // or where the system has no pidfds. Owner's thread.
    int exitFd() const { return pidFd; }

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

    // For a child started with ownGroup: sends sig to every process of its
    // group, also once the child itself has ended while others of the group
    // run on; false when the group id is no longer known to be the group's.
    // Where the kernel can (Linux 6.9 on) the signal goes through the
    // child's pidfd, which can never reach a group that took the id later.
    // Older kernels refuse that; the signal then goes by the group id, and
    // only while a member the owner has not reaped holds it: the child
    // itself, or a keeper process (see below). Any thread, as signal().
    bool signalGroup(int sig);

    // A group's leftovers are found among this process's descendants: the
    // first start with ownGroup makes the process a child subreaper, so that
    // what a program leaves orphaned is adopted by us rather than by init,
    // and the kernel's lists of a task's children lead to every member at a
    // cost that follows the group, not the host. Adopted processes that end
    // are reaped with the group; the owner of a process that ignores no
    // SIGCHLD reaps any other adopted child itself. Where the kernel lists
    // no children, the whole of /proc is read instead.
    //
    // For a child started with ownGroup, the one way its group is ended:
    // waits up to waitMs for the child to end by itself; when it has not,
    // or others of its group are left, the group gets SIGTERM and, when it
    // has not ended within graceMs, SIGKILL. The child is reaped last, so
    // that its id stays the group's throughout, and its reap returned (not
    // reaped under an ignored SIGCHLD). Processes the owner started itself
    // beside the child (the keeper, a command relay's guard) are not waited
    // for, and zombies count as ended.
    WaitResult endGroup(int waitMs, int graceMs);

    // How long release() waits for a child to end by itself once its input
    // is closed, and after SIGTERM before it sends SIGKILL.
    static constexpr int EXIT_WAIT_MS = 50;
    static constexpr int TERM_GRACE_MS = 250;

    // Closes the pipes, ends a child that is still running (see the top of
    // this header; at most about exitWaitMs + TERM_GRACE_MS + 1 s) and
    // forgets it. The object can then start another child. A child started
    // with ownGroup is ended with its whole group (endGroup(exitWaitMs,
    // TERM_GRACE_MS)).
    void release(int exitWaitMs = EXIT_WAIT_MS);

    // Test seam: children started from now on are treated as on a kernel
    // that refuses to signal a group through a pidfd (before Linux 6.9).
    static void refuseGroupPidfdSignal(bool refuse);
    // Whether groups of children started now are signalled through a pidfd
    // (the kernel's answer, or the seam above).
    static bool groupsSignalledByPidfd();
    // Test seam: a group's end is looked for in the whole of /proc, as where
    // the kernel does not list a task's children.
    static void refuseDescendantWalk(bool refuse);

  private:
    // True when the child has ended (and was reaped, by wait() or the system).
    bool ended(int timeoutMs);
    // Drops the handle of a child that is reaped or given up, and its keeper.
    void forget();
    // True once the child has ended, waiting up to timeoutMs; it is not
    // reaped, so that its pid still holds the group id.
    bool leaderExited(int timeoutMs);
    // True once no process of the group is left but zombies and the owner's
    // own processes, waiting up to timeoutMs.
    bool groupEnded(int timeoutMs);
    // Reaps the child once it may no longer be used as the group id.
    WaitResult reapLeader();
    // Puts a keeper into the child's group (see keeperPid).
    void startKeeper(pid_t group);
    // The group id is known to be the child's group's. handleLock held.
    bool groupIdHeld() const;

    // Written by the owner with handleLock held; read by signal() and
    // signalGroup() under it.
    std::mutex handleLock;
    pid_t childPid = 0;        // 0 when no unreaped child is known
    int pidFd = -1;            // the child's pidfd while childPid is set, else -1
    bool groupLeader = false;  // started with ownGroup
    // The group is signalled through the pidfd (the kernel allows it).
    bool groupByPidfd = false;
    // The system reaps the child as it ends (the owner ignores SIGCHLD), so
    // that its pid cannot be relied on to hold the group id.
    bool autoReaped = false;
    // Set before the child is reaped: its pid no longer holds the group id.
    bool leaderReaped = false;
    // Where the group is signalled by its id and the system reaps the child
    // itself, and wherever Options::endedWithOwner asks: a process of ours that sits in the group, blocks every signal
    // and is never reaped by the system (it is made to send no SIGCHLD), so
    // that the id stays the group's until the keeper is reaped. It bears the
    // program's name. Should keeperLine, its lifeline, close without the
    // keeper being killed first (the owner was killed outright), it ends the
    // group (SIGTERM, then SIGKILL half a second later) and itself.
    pid_t keeperPid = 0;
    int keeperLine = -1;
    // The caller's own process in the group (see Options::beforeExec).
    pid_t ownPid = 0;
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
