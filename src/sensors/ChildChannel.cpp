#include "ChildChannel.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace {

// The live channels that take part in the stop. Never destroyed: the stop
// hook may run while static destructors do.
std::mutex& registryLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::set<ChildChannel*>& registry() {
    static auto* channels = new std::set<ChildChannel*>;
    return *channels;
}
// The tool runs that take part in the stop, under registryLock too.
std::set<ToolChild*>& toolRuns() {
    static auto* runs = new std::set<ToolChild*>;
    return *runs;
}
// Set once, under registryLock, by the stop hook: the daemon stops only once.
std::atomic<bool> toolsStopping{false};

// The text with its placeholders filled in, in one pass, so that a path
// holding a placeholder's name stays as it is.
std::string fill(const char* text, const std::string& path, int err) {
    const std::pair<const char*, std::string> values[] = {
        {"{path}", path}, {"{error}", std::strerror(err)}, {"{errno}", std::to_string(err)}};
    std::string out;
    for (const char* p = text; *p != '\0';) {
        bool replaced = false;
        for (const auto& v : values) {
            const std::size_t len = std::strlen(v.first);
            if (std::strncmp(p, v.first, len) == 0) {
                out += v.second;
                p += len;
                replaced = true;
                break;
            }
        }
        if (!replaced) out.push_back(*p++);
    }
    return out;
}

}  // namespace

ChildChannel::ChildChannel(const LoggerStub& l, const StartTexts& t, const Setup& s)
    : log(l), texts(t), setup(s), throttle(s.restartGap) {
    if (setup.stopGraceMs <= 0) return;
    std::lock_guard<std::mutex> hold(registryLock());
    registry().insert(this);
}

ChildChannel::~ChildChannel() {
    if (setup.stopGraceMs > 0) {
        // Waits for a stop hook that is using this channel.
        std::lock_guard<std::mutex> hold(registryLock());
        registry().erase(this);
    }
    close();
}

bool ChildChannel::start(const std::string& path, const std::vector<std::string>& argv) {
    // A half-made channel from an earlier attempt must not leak descriptors.
    close();
    if (stopping.load()) return false;
    program = path;
    const time_t now = monotonicSeconds();
    ChildProcess::Options options;
    options.input = ChildProcess::Input::Pipe;
    options.output = ChildProcess::Output::Pipe;
    options.error = setup.error;
    options.failStatus = setup.failStatus;
    options.ownGroup = true;
    const ChildProcess::StartResult started = child.start(path, argv, options);
    // A stop hook that came while the child was starting found no child to
    // signal; it marked the channel stopping before it looked, so it is seen
    // here and the child ended before it can start any work.
    if (started.ok() && stopping.load()) {
        close();
        return false;
    }
    const bool noPipes =
        started.stage == ChildProcess::Stage::Pipe || started.stage == ChildProcess::Stage::DevNull;
    if (!noPipes || setup.pipeFailureCounts) throttle.noteAttempt(now);
    const char* text = nullptr;
    switch (started.stage) {
        case ChildProcess::Stage::None:
            if (setup.maxLine > 0) {
                reader.reset(new LineReader(child.outputFd(), setup.maxLine, setup.overflow));
                // A child that ends while what it started holds its output
                // open sends no end of input: the reader watches the child.
                reader->watchWriter(child.exitFd(), [this] { return childEnded(); });
            }
            return true;
        case ChildProcess::Stage::Pipe:
        case ChildProcess::Stage::DevNull:
            text = texts.pipe;
            break;
        case ChildProcess::Stage::Fork:
            text = texts.fork;
            break;
        case ChildProcess::Stage::Redirect:
            text = texts.redirect;
            break;
        case ChildProcess::Stage::Exec:
            text = texts.exec;
            break;
        case ChildProcess::Stage::Busy:
            text = texts.busy;
            break;
    }
    log.logError("%s", fill(text, path, started.err).c_str());
    // ChildProcess has closed whatever it had opened: the channel stays
    // closed and the restart rule applies again.
    return false;
}

bool ChildChannel::restartIfDue(const std::string& path, const std::vector<std::string>& argv) {
    if (!isOpen() && throttle.mayStart(monotonicSeconds())) start(path, argv);
    return isOpen();
}

bool ChildChannel::childEnded() const {
    // Asked only where the child has no pidfd. It is not reaped here: its
    // pid goes on holding the group's id until close() ends the group.
    siginfo_t info;
    info.si_pid = 0;
    const pid_t pid = child.pid();
    if (pid <= 0) return true;
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;  // the system has reaped it (SIGCHLD ignored)
    return info.si_pid == pid;
}

void ChildChannel::close(int endSignal) {
    if (endSignal != 0) child.signalGroup(endSignal);
    // ChildProcess closes each descriptor once and marks it closed, so a
    // second close can never hit a descriptor another thread has opened since.
    reader.reset();
    child.release();
}

bool ChildChannel::discardUnsolicited(std::size_t limit, std::size_t alreadyDropped) {
    std::size_t dropped = alreadyDropped + (reader ? reader->discardBuffered() : 0);
    char buf[4096];
    for (;;) {
        std::size_t got = 0;
        const FdIo::IoResult r = child.read(buf, sizeof buf, got, 0);
        dropped += got;
        if (r == FdIo::IoResult::TimedOut) break;
        if (r != FdIo::IoResult::Ok || dropped > limit) return false;
    }
    // One text whatever the count, so that the logger folds repeats.
    if (dropped > 0) log.logWarning("Dropped output of %s that answers no request", program.c_str());
    return true;
}

void ChildChannel::abandon(int graceMs) {
    // A relay still writing would not see the end of its input until its
    // tool finishes, and a hung tool never does. Told to end, it ends its
    // tool's group first; it is killed only if it has not ended by then.
    child.signalGroup(SIGTERM);
    reader.reset();
    child.release(graceMs);
}

void ChildChannel::abandonForStop() {
    std::lock_guard<std::mutex> hold(registryLock());
    // Every busy child is told to end before any is waited for, so that the
    // stop lasts one grace, not one per busy channel or tool.
    struct Ending {
        ChildProcess* child;
        const std::atomic<bool>* busy;
        FdIo::Deadline deadline;
    };
    std::vector<Ending> ending;
    for (ChildChannel* c : registry()) {
        c->stopping.store(true);
        if (!c->busy.load()) continue;
        c->child.signalGroup(SIGTERM);
        ending.push_back({&c->child, &c->busy, FdIo::Deadline(c->setup.stopGraceMs)});
    }
    toolsStopping.store(true);
    for (ToolChild* t : toolRuns()) {
        if (!t->busy.load()) continue;
        t->child.signalGroup(SIGTERM);
        ending.push_back({&t->child, &t->busy, FdIo::Deadline(ToolChild::GRACE_MS)});
    }
    // The registry lock keeps every channel and tool run of the list alive.
    while (!ending.empty()) {
        for (std::size_t i = 0; i < ending.size();) {
            const bool done = !ending[i].busy->load();
            if (!done && ending[i].deadline.passed()) ending[i].child->signalGroup(SIGKILL);
            if (done || ending[i].deadline.passed()) {
                ending[i] = ending.back();
                ending.pop_back();
            } else {
                ++i;
            }
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        if (!ending.empty()) nanosleep(&pause, nullptr);
    }
}

ToolChild::ToolChild(ChildProcess::ErrorOutput e, bool atStop) : error(e), endedAtStop(atStop) {}

ToolChild::~ToolChild() { end(0); }

bool ToolChild::stopBegun() { return toolsStopping.load(); }

bool ToolChild::start(const std::string& path, const std::vector<std::string>& argv) {
    end(0);
    if (endedAtStop && stopBegun()) return false;
    ChildProcess::Options options;
    options.input = ChildProcess::Input::Null;
    options.output = ChildProcess::Output::Pipe;
    options.error = error;
    options.ownGroup = true;
    // A daemon killed outright leaves no hung tool behind.
    options.endedWithOwner = true;
    if (!child.start(path, argv, options).ok()) return false;
    if (!endedAtStop) return true;
    {
        std::lock_guard<std::mutex> hold(registryLock());
        // Looked at under the lock the stop hook marks it under: the stop
        // either finds this run or is seen here.
        if (!toolsStopping.load()) {
            busy.store(true);
            toolRuns().insert(this);
            registered = true;
            return true;
        }
    }
    end(0);
    return false;
}

FdIo::IoResult ToolChild::read(void* buf, std::size_t cap, std::size_t& got, int timeoutMs) {
    got = 0;
    if (child.outputFd() < 0) {
        errno = EBADF;
        return FdIo::IoResult::Error;
    }
    FdIo::Deadline deadline(timeoutMs);
    for (;;) {
        // The tool's end is watched beside its output while it runs; without
        // a pidfd only the output's end is seen.
        struct pollfd p[2] = {{child.outputFd(), POLLIN, 0}, {child.exitFd(), POLLIN, 0}};
        const nfds_t n = child.exitFd() >= 0 ? 2 : 1;
        const int ready = poll(p, n, deadline.remainingMs());
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return FdIo::IoResult::Error;
        if (ready == 0) return FdIo::IoResult::TimedOut;
        // A child the tool left behind is no daemon (that leaves the group);
        // it ends with the answer, or it would hold the output open. The
        // tool is reaped last, once its group has been ended.
        if (n == 2 && p[1].revents != 0) child.endGroup(0, GRACE_MS);
        if (p[0].revents != 0) {
            const FdIo::IoResult r = child.read(buf, cap, got, 0);
            if (r != FdIo::IoResult::TimedOut) return r;
        }
    }
}

void ToolChild::end(int waitMs) {
    child.closeOutput();
    child.endGroup(waitMs, GRACE_MS);
    child.release();
    if (!registered) return;
    busy.store(false);
    std::lock_guard<std::mutex> hold(registryLock());
    toolRuns().erase(this);
    registered = false;
}
