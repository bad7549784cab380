#include "CommandRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ChildProcess.h"
#include "FdIo.h"
#include "LineReader.h"

namespace CommandRelay {
namespace {

bool startsWith(const std::string& line, const char* word) {
    return line.compare(0, std::strlen(word), word) == 0;
}

// "context: error text (errno)" with the caller's context first.
std::string errorText(const std::string& context, int err) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " (%d)", err);
    return context + ": " + std::strerror(err) + buf;
}

// Writes one answer piece to the daemon. A daemon that has gone away is not an
// error worth stopping for: the relay ends at its end of input anyway.
void emit(int outFd, const std::string& text) {
    FdIo::writeAll(outFd, text.data(), text.size(), -1);
}

std::string startFailure(const std::string& cmd, const ChildProcess::StartResult& r) {
    switch (r.stage) {
        case ChildProcess::Stage::Pipe:
            return errorText("Could not create pipes", r.err);
        case ChildProcess::Stage::DevNull:
            return errorText("Could not open /dev/null", r.err);
        case ChildProcess::Stage::Fork:
            return errorText("Could not fork for " + cmd, r.err);
        case ChildProcess::Stage::Redirect:
            return "Could not duplicate file descriptors!";
        case ChildProcess::Stage::Exec:
            return errorText("Could not execute " + cmd, r.err);
        case ChildProcess::Stage::Busy:
        case ChildProcess::Stage::None:
            break;
    }
    return errorText("Could not start " + cmd, r.err);
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    return set;
}

sigset_t childEndSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    return set;
}

// What a wait while a tool runs came to.
enum class Wake { Ready, Stop };

// Polls fd for events (none when fd < 0) and exitFd for the end of a process
// (none when -1) together with the stop signals and the output's reader;
// with tick > 0 it also returns Ready every tick ms. Stop sets watch.signal
// or watch.readerGone.
Wake await(int fd, short events, int outFd, StopWatch& watch, int tick = -1, int exitFd = -1) {
    struct pollfd p[4] = {
        {fd, events, 0}, {watch.signalFd, POLLIN, 0}, {outFd, 0, 0}, {exitFd, POLLIN, 0}};
    for (;;) {
        // With no events asked, a pipe's write end reports only POLLERR, once
        // its last reader has closed.
        const int n = poll(p, 4, tick);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Wake::Ready;  // a time-out tick, or the caller's call reports the fault
        if (p[1].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (read(watch.signalFd, &info, sizeof info) == sizeof info) {
                watch.signal = static_cast<int>(info.ssi_signo);
                return Wake::Stop;
            }
        }
        // An output that is not open at all reaches nobody either.
        if (p[2].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            watch.readerGone = true;
            return Wake::Stop;
        }
        if (p[0].revents != 0 || p[3].revents != 0) return Wake::Ready;
    }
}

// Copies one piece of the tool's output to outFd; false when the reader has
// gone (watch.readerGone set) or a stop signal came.
bool deliver(int outFd, const char* data, std::size_t len, StopWatch& watch) {
    while (len > 0) {
        // A full pipe towards a reader that is alive but does not read must
        // not make the relay deaf to its stop signals.
        if (await(outFd, POLLOUT, outFd, watch) == Wake::Stop) return false;
        const ssize_t n = write(outFd, data, len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            watch.readerGone = true;  // EPIPE; any other failure loses the answer all the same
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Runs in the guard between its fork and its end: async-signal-safe calls only.
[[noreturn]] void guardGroup(int lifeline, pid_t group) {
    // A tool that has already left its session cannot be joined: it is not tracked.
    if (setpgid(0, group) != 0) _exit(0);
    struct sigaction ignore;
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = 0;
    sigemptyset(&ignore.sa_mask);
    // It signals its own group, and outlives the relay's stop signals so
    // that it can end the group whatever the relay's fate.
    sigaction(SIGTERM, &ignore, nullptr);
    sigaction(SIGHUP, &ignore, nullptr);
    sigaction(SIGINT, &ignore, nullptr);
    // Holding the relay's streams would keep the daemon from seeing its end.
    if (dup2(lifeline, 0) == 0) {
        if (syscall(SYS_close_range, 1u, ~0u, 0) != 0) {
            for (int fd = 1; fd < 1024; ++fd) close(fd);
        }
        lifeline = 0;
    }
    char c;
    while (read(lifeline, &c, 1) < 0 && errno == EINTR) {
    }
    kill(0, SIGTERM);
    struct timespec grace = {toolGraceMs / 1000, (toolGraceMs % 1000) * 1000000L};
    while (nanosleep(&grace, &grace) != 0 && errno == EINTR) {
    }
    kill(0, SIGKILL);  // ends the guard too
    _exit(0);
}

// The guard of one tool's group (see the header), owned by execCmd. Without
// one (a failed pipe or fork) the tool simply runs unguarded.
class GroupGuard {
  public:
    GroupGuard() = default;
    // Joins the guard to the group of the tool, which does not run yet;
    // the guard's pid, 0 without one.
    pid_t watch(pid_t group) {
        int life[2];
        // Made after the tool's fork and close-on-exec, so no tool holds its write end.
        if (pipe2(life, O_CLOEXEC) != 0) return 0;
        pid = fork();
        if (pid == 0) {
            close(life[1]);
            guardGroup(life[0], group);
        }
        close(life[0]);
        if (pid < 0) {
            pid = 0;
            close(life[1]);
            return 0;
        }
        // Also from this side, so that the guard is a member once fork returns.
        setpgid(pid, group);
        lifeline = life[1];
        return pid;
    }
    ~GroupGuard() { dismiss(); }
    // Ends and reaps the guard quietly: the tool's own end is the relay's to make.
    void dismiss() {
        if (pid > 0) {
            kill(pid, SIGKILL);  // an unreaped child of ours: the pid is still its
            int st;
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            pid = 0;
        }
        if (lifeline >= 0) close(lifeline);
        lifeline = -1;
    }
    GroupGuard(const GroupGuard&) = delete;
    GroupGuard& operator=(const GroupGuard&) = delete;

  private:
    pid_t pid = 0;
    int lifeline = -1;
};

// Whether the tool has ended; it is not reaped.
bool toolExited(pid_t pid) {
    siginfo_t info;
    info.si_pid = 0;
    int rc;
    while ((rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT)) != 0 &&
           errno == EINTR) {
    }
    // A failed waitid leaves the reaping wait to report it.
    return rc != 0 || info.si_pid == pid;
}

// Waits until the tool has ended, without reaping it; Stop when a stop
// signal came or the output's reader went away first.
Wake awaitExit(pid_t pid, int outFd, StopWatch& watch) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        // Without a pidfd the exit is looked for at every tick.
        if (await(pidFd, POLLIN, outFd, watch, pidFd >= 0 ? -1 : 20) == Wake::Stop) {
            if (pidFd >= 0) close(pidFd);
            return Wake::Stop;
        }
        if (toolExited(pid)) break;
    }
    if (pidFd >= 0) close(pidFd);
    return Wake::Ready;
}

// Reaps the orphans the relay adopted (see ChildProcess::endGroup) that have
// ended. Only while no tool runs: every child of the relay's own is reaped
// by then, so any child that has ended is such an orphan.
void reapOrphans() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Reads the next request. An orphan that ends while the relay waits for it
// is reaped at once, not at the next answer, which may be a day away: SIGCHLD
// is blocked for the wait and read from childFd. Without childFd the relay
// reaps only between requests.
LineReader::Status nextRequest(LineReader& reader, int inFd, int childFd, std::string& line) {
    if (childFd < 0) {
        reapOrphans();
        return reader.readLine(line, -1);
    }
    const sigset_t chld = childEndSignal();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &chld, &before);
    LineReader::Status st;
    for (;;) {
        // Emptied before the reaping: an orphan that ends after it wakes the poll.
        struct signalfd_siginfo info;
        while (read(childFd, &info, sizeof info) == sizeof info) {
        }
        reapOrphans();
        st = reader.readLine(line, 0);
        if (st != LineReader::Status::TimedOut) break;
        struct pollfd p[2] = {{inFd, POLLIN, 0}, {childFd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
            st = reader.readLine(line, -1);
            break;
        }
    }
    // Unblocked before any tool starts (ChildProcess resets a tool's mask as well).
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return st;
}

}  // namespace

std::vector<Arg> literalArgs(const char* const* params) {
    std::vector<Arg> v;
    for (; *params != nullptr; ++params) v.push_back({Arg::Text, *params});
    return v;
}

std::string argumentAfterDelimiter(const std::string& line) {
    std::size_t colon = line.find(':');
    return colon == std::string::npos ? line : line.substr(colon + 1);
}

void nameAndPeriod(const std::string& line, std::string& name, std::string& period) {
    name.clear();
    period.clear();
    std::size_t first = line.find(':');
    if (first == std::string::npos) return;
    std::size_t second = line.find(':', first + 1);
    if (second == std::string::npos) return;
    name = line.substr(first + 1, second - first - 1);
    period = line.substr(second + 1);
}

const char* argumentRefusal(const std::string& arg) {
    if (!arg.empty() && arg[0] == '-') return "an argument begins with '-'";
    if (arg.find('\0') != std::string::npos) return "an argument holds a NUL byte";
    return nullptr;
}

Dispatch dispatchRequest(const std::vector<DispatchRow>& table, const std::string& line,
                         const std::string& binDir) {
    Dispatch d;
    for (const DispatchRow& row : table) {
        bool match = row.match == Match::WholeLine ? line == row.word : startsWith(line, row.word);
        if (!match) continue;

        std::string name;
        std::string period;
        if (row.match == Match::Prefix) name = argumentAfterDelimiter(line);
        if (row.match == Match::PrefixNameAndPeriod) nameAndPeriod(line, name, period);

        d.cmd = binDir + row.toolFile;
        for (const Arg& a : row.args) {
            const std::string* cut = nullptr;
            switch (a.kind) {
                case Arg::Text:
                    d.params.emplace_back(a.text);
                    break;
                case Arg::ToolPath:
                    d.params.push_back(d.cmd);
                    break;
                case Arg::Name:
                    cut = &name;
                    break;
                case Arg::Period:
                    cut = &period;
                    break;
            }
            if (cut == nullptr) continue;
            if (const char* why = argumentRefusal(*cut)) {
                d = Dispatch();
                d.outcome = Dispatch::Refused;
                d.message = "Refused query " + line + ": " + why;
                return d;
            }
            d.params.push_back(*cut);
        }
        d.outcome = Dispatch::Run;
        return d;
    }
    d.outcome = Dispatch::Unknown;
    return d;
}

ToolOutcome execCmd(const std::string& cmd, const std::vector<std::string>& params, int outFd,
                    const std::string& endMarker, StopWatch* watch) {
    ChildProcess child;
    ChildProcess::Options options;
    options.input = ChildProcess::Input::Null;
    options.output = ChildProcess::Output::Pipe;
    options.error = ChildProcess::ErrorOutput::ToOutput;
    options.failStatus = 255;
    options.ownGroup = true;
    // Declared after child: on every early return it goes first, once the
    // tool's group has been ended. The tool runs only once the guard is in
    // its group, so a relay killed at any moment leaves no tool unguarded.
    GroupGuard guard;
    options.beforeExec = [&guard](pid_t group) { return guard.watch(group); };
    ChildProcess::StartResult started = child.start(cmd, params, options);
    if (!started.ok()) {
        emit(outFd, startFailure(cmd, started) + "\n" + endMarker);
        return ToolOutcome::NotRun;
    }
    StopWatch unwatched;
    StopWatch& w = watch != nullptr ? *watch : unwatched;
    auto stop = [&] {
        child.closeOutput();
        child.endGroup(0, toolGraceMs);
        return ToolOutcome::Stopped;
    };

    // Raw reads and writes keep every byte, NUL included; a line longer than
    // the buffer simply passes in several pieces.
    char buf[copyBufferSize];
    std::string trailer;
    // The readers compare whole lines, so a tool's last line that lacks its
    // line end (or was cut by the tool's death) is ended before our lines.
    bool midLine = false;
    const pid_t tool = child.pid();
    // Watched beside the output: a child the tool left in its group may hold
    // the output open, and is ended once the tool has ended. Without a
    // pidfd the tool's end is looked for at every tick.
    int toolFd = static_cast<int>(syscall(SYS_pidfd_open, tool, 0));
    bool toolEnded = false;
    ChildProcess::WaitResult waited;
    // A child the tool left in its group is no daemon (that leaves the group):
    // it ends with the answer, or nothing would end it once the guard is gone.
    // The tool is reaped last, and the guard stays in the group until then.
    auto endLeftovers = [&] {
        toolEnded = true;
        if (toolFd >= 0) close(toolFd);
        toolFd = -1;
        waited = child.endGroup(0, toolGraceMs);
    };
    for (;;) {
        const int tick = toolEnded || toolFd >= 0 ? -1 : 20;
        if (await(child.outputFd(), POLLIN, outFd, w, tick, toolFd) == Wake::Stop) {
            if (toolFd >= 0) close(toolFd);
            return stop();
        }
        if (!toolEnded && toolExited(tool)) {
            endLeftovers();
            continue;
        }
        std::size_t got = 0;
        FdIo::IoResult r = child.read(buf, sizeof buf, got, 0);
        if (r == FdIo::IoResult::TimedOut) continue;
        if (r == FdIo::IoResult::Ok) {
            if (!deliver(outFd, buf, got, w)) {
                if (toolFd >= 0) close(toolFd);
                return stop();
            }
            if (got > 0) midLine = buf[got - 1] != '\n';
            continue;
        }
        if (midLine) trailer = "\n";
        if (r == FdIo::IoResult::Error) {
            trailer += errorText("Could not read output of " + cmd, errno) + "\n";
        }
        break;
    }
    child.closeOutput();
    if (!toolEnded) {
        if (toolFd >= 0) close(toolFd);
        toolFd = -1;
        // A tool may close its output and still run: it is waited for as watchfully.
        if (awaitExit(tool, outFd, w) == Wake::Stop) return stop();
        endLeftovers();
    }
    ToolOutcome result = ToolOutcome::Ran;
    if (!waited.reaped) {
        char buf2[96];
        std::snprintf(buf2, sizeof buf2, "Wait returned unknown pid: %d != %d\n",
                      static_cast<int>(waited.returned), static_cast<int>(tool));
        trailer += buf2;
        result = ToolOutcome::NotRun;
    }
    // Reaped before the marker: a reader holding the answer finds no child of the relay left.
    guard.dismiss();
    // Anything about this request goes before its marker, never into the next answer.
    const std::string tail = trailer + endMarker;
    return deliver(outFd, tail.data(), tail.size(), w) ? result : ToolOutcome::Stopped;
}

int runCommandRelay(const std::vector<DispatchRow>& table, const std::string& binDir,
                    const std::string& endMarker, int inFd, int outFd) {
    LineReader reader(inFd, maxRequestLength);
    // The stop signals are blocked only while a tool runs, and then read
    // from this descriptor; when it cannot be made, they simply kill.
    const sigset_t stops = stopSignals();
    const int signalFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    const sigset_t chld = childEndSignal();
    const int childFd = signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
    int status = 0;
    bool stopped = false;
    std::string line;
    while (!stopped) {
        LineReader::Status st = nextRequest(reader, inFd, childFd, line);
        if (st == LineReader::Status::Eof || st == LineReader::Status::Error) break;
        if (st == LineReader::Status::TooLong) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "Refused query longer than %zu bytes\n",
                          maxRequestLength);
            emit(outFd, buf + endMarker);
            continue;
        }
        Dispatch d = dispatchRequest(table, line, binDir);
        switch (d.outcome) {
            case Dispatch::Run: {
                StopWatch watch;
                watch.signalFd = signalFd;
                sigset_t before;
                if (signalFd >= 0) sigprocmask(SIG_BLOCK, &stops, &before);
                stopped =
                    execCmd(d.cmd, d.params, outFd, endMarker, &watch) == ToolOutcome::Stopped;
                if (watch.signal != 0) status = 128 + watch.signal;
                if (watch.readerGone) status = 128 + SIGPIPE;
                // A stop signal that came after the tool ended acts now.
                if (signalFd >= 0) sigprocmask(SIG_SETMASK, &before, nullptr);
                break;
            }
            case Dispatch::Unknown:
                emit(outFd, "Unknown query " + line + "\n" + endMarker);
                break;
            case Dispatch::Refused:
                emit(outFd, d.message + "\n" + endMarker);
                break;
        }
    }
    if (signalFd >= 0) close(signalFd);
    if (childFd >= 0) close(childFd);
    close(inFd);
    close(outFd);
    return status;
}

}  // namespace CommandRelay
