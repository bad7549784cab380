#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "GroupEnd.h"

namespace {

// Whether the system reaps a child of this process as it ends.
bool childrenAutoReaped() {
    struct sigaction now;
    if (sigaction(SIGCHLD, nullptr, &now) != 0) return false;
    return now.sa_handler == SIG_IGN || (now.sa_flags & SA_NOCLDWAIT) != 0;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Descriptors the child needs; -1 where not used.
struct ChildFds {
    int stdinSrc = -1;
    int stdoutSrc = -1;
    bool mergeStderr = false;
    bool ownGroup = false;
    int status = -1;   // write end of the close-on-exec status pipe
    int hold = -1;     // read end of the pipe that holds the child before exec
    int holdEnd = -1;  // its write end, which the parent keeps
};

// The status record a failed child sends back: the stage and its errno.
struct FailRecord {
    int stage;
    int err;
};

// Sends the failure record to start() and ends the child. Async-signal-safe.
[[noreturn]] void failChild(int statusFd, ChildProcess::Stage stage, int err, int failStatus) {
    FailRecord rec{static_cast<int>(stage), err};
    const char* p = reinterpret_cast<const char*>(&rec);
    std::size_t left = sizeof rec;
    while (left > 0) {
        ssize_t n = write(statusFd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    _exit(failStatus);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void runChild(ChildFds fds, const char* path, char* const* argv, int failStatus) {
    auto fail = [&](ChildProcess::Stage stage, int err) {
        failChild(fds.status, stage, err, failStatus);
    };
    // Lift every descriptor we still need above 2 first, so that placing one
    // of them on 0, 1 or 2 can never overwrite another (the parent may have
    // run with a standard stream closed, and a pipe then took its number).
    auto lift = [&](int& fd) {
        if (fd >= 0 && fd < 3) {
            int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (moved < 0) fail(ChildProcess::Stage::Redirect, errno);
            fd = moved;
        }
    };
    if (fds.status >= 0 && fds.status < 3) {
        int moved = fcntl(fds.status, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) _exit(failStatus);
        fds.status = moved;
    }
    // Only the parent may keep the hold pipe's write end, or its death
    // would go unseen.
    if (fds.holdEnd >= 0) close(fds.holdEnd);
    lift(fds.hold);
    lift(fds.stdinSrc);
    lift(fds.stdoutSrc);
    // dup2 clears close-on-exec on the copy; the originals stay close-on-exec.
    if (fds.stdinSrc >= 0 && dup2(fds.stdinSrc, 0) < 0) fail(ChildProcess::Stage::Redirect, errno);
    if (fds.stdoutSrc >= 0 && dup2(fds.stdoutSrc, 1) < 0) {
        fail(ChildProcess::Stage::Redirect, errno);
    }
    if (fds.mergeStderr && dup2(1, 2) < 0) fail(ChildProcess::Stage::Redirect, errno);
    if (fds.ownGroup && setpgid(0, 0) != 0) fail(ChildProcess::Stage::Redirect, errno);

    struct sigaction dfl;
    dfl.sa_handler = SIG_DFL;
    dfl.sa_flags = 0;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        sigaction(sig, &dfl, nullptr);  // fails harmlessly for the library's reserved signals
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (fds.hold >= 0) {
        // A parent that died before letting go gets no program run for it.
        char go = 0;
        ssize_t n;
        while ((n = ::read(fds.hold, &go, 1)) < 0 && errno == EINTR) {
        }
        if (n != 1) _exit(failStatus);
    }
    execv(path, argv);
    failChild(fds.status, ChildProcess::Stage::Exec, errno, failStatus);
}

// Reads the child's failure record; false when exec closed the pipe unwritten.
bool readFailRecord(int fd, FailRecord& rec) {
    char* p = reinterpret_cast<char*>(&rec);
    std::size_t got = 0;
    while (got < sizeof rec) {
        ssize_t n = ::read(fd, p + got, sizeof rec - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got == sizeof rec;
}

}  // namespace

ChildProcess::~ChildProcess() { release(); }

ChildProcess::StartResult ChildProcess::start(const std::string& path,
                                              const std::vector<std::string>& argv,
                                              const Options& options) {
    if (childPid > 0 || toChild >= 0 || fromChild >= 0) return {Stage::Busy, EBUSY};
    const bool byPidfd = options.ownGroup && GroupEnd::pidfdSignalWorks();
    const bool autoReap = childrenAutoReaped();
    const bool keeper = options.ownGroup && (options.endedWithOwner || (!byPidfd && autoReap));
    // The program waits until whatever must sit in its group first is there.
    const bool hold = options.beforeExec || keeper;
    pid_t ownMember = 0;
    // Leftovers of the group are then found among our own descendants.
    if (options.ownGroup) GroupEnd::walkDescendants();

    int status[2] = {-1, -1};
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int devNull = -1;
    int holdPipe[2] = {-1, -1};
    auto closeAll = [&] {
        closeFd(holdPipe[0]);
        closeFd(holdPipe[1]);
        closeFd(status[0]);
        closeFd(status[1]);
        closeFd(in[0]);
        closeFd(in[1]);
        closeFd(out[0]);
        closeFd(out[1]);
        closeFd(devNull);
    };
    auto failWith = [&](Stage stage) {
        StartResult r{stage, errno};
        closeAll();
        return r;
    };

    if (pipe2(status, O_CLOEXEC) != 0) return failWith(Stage::Pipe);
    if (options.input == Input::Pipe && pipe2(in, O_CLOEXEC) != 0) return failWith(Stage::Pipe);
    if (options.output == Output::Pipe && pipe2(out, O_CLOEXEC) != 0) {
        return failWith(Stage::Pipe);
    }
    if (hold && pipe2(holdPipe, O_CLOEXEC) != 0) return failWith(Stage::Pipe);
    if (options.input == Input::Null) {
        devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (devNull < 0) return failWith(Stage::DevNull);
    }

    // Everything the child touches is prepared here: it may not allocate.
    std::vector<char*> args;
    args.reserve(argv.size() + 2);
    if (argv.empty()) {
        args.push_back(const_cast<char*>(path.c_str()));
    } else {
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    ChildFds fds;
    fds.stdinSrc = options.input == Input::Pipe ? in[0] : devNull;
    fds.stdoutSrc = out[1];
    fds.mergeStderr = options.error == ErrorOutput::ToOutput;
    fds.ownGroup = options.ownGroup;
    fds.status = status[1];
    fds.hold = holdPipe[0];
    fds.holdEnd = holdPipe[1];

    pid_t pid = fork();
    if (pid < 0) return failWith(Stage::Fork);
    if (pid == 0) runChild(fds, path.c_str(), args.data(), options.failStatus);
    // Taken at once, before the child can have run its tool, so the pidfd
    // names this child and no later owner of its pid. It is close-on-exec.
    int childFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    closeFd(status[1]);
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(devNull);
    if (hold) {
        // The group exists once either side has made it, so that the hook
        // can add to it whichever runs first.
        if (options.ownGroup) setpgid(pid, pid);
        if (keeper) startKeeper(pid);
        if (options.beforeExec) ownMember = options.beforeExec(pid);
        // The read end stays open until now, so a child that has already
        // failed costs no SIGPIPE here.
        const char go = 1;
        while (write(holdPipe[1], &go, 1) < 0 && errno == EINTR) {
        }
        closeFd(holdPipe[1]);
        closeFd(holdPipe[0]);
    }
    FailRecord rec{0, 0};
    bool failed = readFailRecord(status[0], rec);
    closeFd(status[0]);
    if (failed) {
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        if (childFd >= 0) close(childFd);
        closeAll();
        forget();  // the keeper
        return {static_cast<Stage>(rec.stage), rec.err};
    }
    {
        std::lock_guard<std::mutex> lock(handleLock);
        childPid = pid;
        pidFd = childFd;
        groupLeader = options.ownGroup;
        groupByPidfd = byPidfd && childFd >= 0;
        autoReaped = autoReap;
        leaderReaped = false;
        ownPid = ownMember;
    }
    toChild = in[1];
    fromChild = out[0];
    return {};
}

FdIo::IoResult ChildProcess::read(void* buf, std::size_t cap, std::size_t& got, int timeoutMs) {
    got = 0;
    if (fromChild < 0) {
        errno = EBADF;
        return FdIo::IoResult::Error;
    }
    return FdIo::readSome(fromChild, buf, cap, got, timeoutMs);
}

FdIo::IoResult ChildProcess::writeAll(const void* data, std::size_t len, int timeoutMs) {
    if (toChild < 0) {
        errno = EBADF;
        return FdIo::IoResult::Error;
    }
    return FdIo::writeAll(toChild, data, len, timeoutMs);
}

void ChildProcess::closeInput() { closeFd(toChild); }

void ChildProcess::closeOutput() { closeFd(fromChild); }

ChildProcess::WaitResult ChildProcess::wait(int timeoutMs) {
    WaitResult r;
    if (childPid <= 0) {
        r.returned = -1;
        r.err = ECHILD;
        return r;
    }
    if (!leaderExited(timeoutMs)) {
        r.err = ETIMEDOUT;
        return r;
    }
    r = reapLeader();
    forget();
    return r;
}


void ChildProcess::forget() {
    pid_t keeper;
    int line;
    {
        std::lock_guard<std::mutex> lock(handleLock);
        childPid = 0;
        groupLeader = false;
        groupByPidfd = false;
        leaderReaped = false;
        ownPid = 0;
        closeFd(pidFd);
        keeper = keeperPid;
        line = keeperLine;
        keeperPid = 0;
        keeperLine = -1;
    }
    // Reaped only now that nothing signals the group by its id any more;
    // killed, not let go by its lifeline, which would make it end the group.
    if (keeper > 0) {
        kill(keeper, SIGKILL);  // an unreaped child of ours: the pid is still its
        int st;
        while (waitpid(keeper, &st, __WALL) < 0 && errno == EINTR) {
        }
    }
    if (line >= 0) close(line);
}

bool ChildProcess::signal(int sig) {
    std::lock_guard<std::mutex> lock(handleLock);
    if (childPid <= 0) return false;
    if (pidFd >= 0) return syscall(SYS_pidfd_send_signal, pidFd, sig, nullptr, 0) == 0;
    return kill(childPid, sig) == 0;
}

bool ChildProcess::leaderExited(int timeoutMs) {
    FdIo::Deadline deadline(timeoutMs);
    for (;;) {
        if (pidFd >= 0) {
            // Readable once the child has ended, reaped or not.
            struct pollfd p = {pidFd, POLLIN, 0};
            const int n = poll(&p, 1, timeoutMs < 0 ? -1 : deadline.remainingMs());
            if (n > 0) return true;
            if (n == 0) return false;
            if (errno != EINTR) return true;  // the reap reports what went wrong
            continue;
        }
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(childPid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return true;  // ECHILD: the system has reaped it
        }
        if (info.si_pid == childPid) return true;
        if (deadline.passed()) return false;
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

ChildProcess::WaitResult ChildProcess::reapLeader() {
    {
        std::lock_guard<std::mutex> lock(handleLock);
        leaderReaped = true;
    }
    WaitResult r;
    int st = 0;
    pid_t w;
    // A child seen to end may take a moment to become waitable.
    const bool exited = leaderExited(0);
    for (int tries = 0;; ++tries) {
        w = waitpid(childPid, &st, WNOHANG);
        if (w < 0 && errno == EINTR) continue;
        if (w != 0 || !exited || tries >= 50) break;
        struct timespec pause = {0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    r.returned = w;
    if (w == childPid) {
        r.reaped = true;
        r.status = st;
    } else {
        // ECHILD: the system reaped it (SIGCHLD ignored) or it is not ours.
        r.err = w < 0 ? errno : ETIMEDOUT;
    }
    return r;
}


bool ChildProcess::ended(int timeoutMs) {
    WaitResult w = wait(timeoutMs);
    return w.reaped || childPid <= 0;
}


void ChildProcess::release(int exitWaitMs) {
    closeFd(toChild);
    closeFd(fromChild);
    if (childPid > 0 && groupLeader) {
        endGroup(exitWaitMs, TERM_GRACE_MS);
    } else if (childPid > 0 && !ended(exitWaitMs)) {
        signal(SIGTERM);
        if (!ended(TERM_GRACE_MS)) {
            signal(SIGKILL);
            ended(1000);
        }
    }
    forget();
}

time_t monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}
