#include "CommandRelay.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
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

// Waits until the tool's output is readable or the watch asks to stop; true
// to read on, false to stop (watch->signal set when a signal came).
bool awaitOutput(int toolFd, StopWatch* watch) {
    if (watch == nullptr) return true;
    struct pollfd p[3] = {{toolFd, POLLIN, 0}, {watch->signalFd, POLLIN, 0}, {watch->inFd, 0, 0}};
    for (;;) {
        const int n = poll(p, 3, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return true;  // the read reports what went wrong
        if (p[1].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (read(watch->signalFd, &info, sizeof info) == sizeof info) {
                watch->signal = static_cast<int>(info.ssi_signo);
                return false;
            }
        }
        if (p[2].revents & (POLLHUP | POLLERR)) {
            // Requests still queued mean the input has not reached its end.
            int queued = 0;
            if (ioctl(watch->inFd, FIONREAD, &queued) != 0 || queued == 0) return false;
            p[2].fd = -1;
        }
        if (p[0].revents != 0) return true;
    }
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
    ChildProcess::StartResult started = child.start(cmd, params, options);
    if (!started.ok()) {
        emit(outFd, startFailure(cmd, started) + "\n" + endMarker);
        return ToolOutcome::NotRun;
    }

    // Raw reads and writes keep every byte, NUL included; a line longer than
    // the buffer simply passes in several pieces.
    char buf[copyBufferSize];
    std::string trailer;
    // The readers compare whole lines, so a tool's last line that lacks its
    // line end (or was cut by the tool's death) is ended before our lines.
    bool midLine = false;
    for (;;) {
        if (!awaitOutput(child.outputFd(), watch)) {
            child.closeOutput();
            child.endGroup(toolGraceMs);
            return ToolOutcome::Stopped;
        }
        std::size_t got = 0;
        FdIo::IoResult r = child.read(buf, sizeof buf, got, -1);
        if (r == FdIo::IoResult::Ok) {
            FdIo::writeAll(outFd, buf, got, -1);
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

    pid_t expected = child.pid();
    ChildProcess::WaitResult w = child.wait(-1);
    ToolOutcome result = ToolOutcome::Ran;
    if (!w.reaped) {
        char buf2[96];
        std::snprintf(buf2, sizeof buf2, "Wait returned unknown pid: %d != %d\n",
                      static_cast<int>(w.returned), static_cast<int>(expected));
        trailer += buf2;
        result = ToolOutcome::NotRun;
    }
    // Anything about this request goes before its marker, never into the next answer.
    emit(outFd, trailer + endMarker);
    return result;
}

int runCommandRelay(const std::vector<DispatchRow>& table, const std::string& binDir,
                    const std::string& endMarker, int inFd, int outFd) {
    LineReader reader(inFd, maxRequestLength);
    // The stop signals are blocked only while a tool runs, and then read
    // from this descriptor; when it cannot be made, they simply kill.
    const sigset_t stops = stopSignals();
    const int signalFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    int status = 0;
    bool stopped = false;
    std::string line;
    while (!stopped) {
        LineReader::Status st = reader.readLine(line, -1);
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
                // A request cut short by the end of input came after that end.
                watch.inFd = reader.lastLineTerminated() && !reader.buffered() ? inFd : -1;
                watch.signalFd = signalFd;
                sigset_t before;
                if (signalFd >= 0) sigprocmask(SIG_BLOCK, &stops, &before);
                stopped = execCmd(d.cmd, d.params, outFd, endMarker,
                                  signalFd >= 0 ? &watch : nullptr) == ToolOutcome::Stopped;
                if (watch.signal != 0) status = 128 + watch.signal;
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
    close(inFd);
    close(outFd);
    return status;
}

}  // namespace CommandRelay
