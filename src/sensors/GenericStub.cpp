#include "GenericStub.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "FdIo.h"
#include "SensorCtrl.h"

namespace {

// Sixty seconds is far beyond any sane proxy answer, yet bounds how long a
// hung proxy can hold a sensor thread and every sensor that shares it.
std::atomic<int> replyTimeoutMs{60 * 1000};

const ChildChannel::StartTexts START_TEXTS = {
    ChildChannel::PIPE_TEXT, "Could not fork proxy {path}: {error} ({errno})",
    ChildChannel::REDIRECT_TEXT, "Could not execute {path}! {error}",
    "Could not start proxy {path}: {error} ({errno})"};

ChildChannel::Setup channelSetup() {
    ChildChannel::Setup setup;
    setup.error = ChildProcess::ErrorOutput::ToOutput;  // the proxy's complaints join the reply
    setup.pipeFailureCounts = false;
    setup.maxLine = GenericStub::MAX_LINE_BYTES;
    // A proxy and what it runs, told to end at daemon stop.
    setup.stopGraceMs = 500;
    return setup;
}

std::string trimmed(std::string s) {
    const char* blanks = " \n\r\t";
    s.erase(s.find_last_not_of(blanks) + 1);
    s.erase(0, s.find_first_not_of(blanks));
    return s;
}

}  // namespace

std::mutex& GenericStub::registryMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::map<std::string, GenericStub::proxyInfo>& GenericStub::proxyMap() {
    static auto* m = new std::map<std::string, proxyInfo>;
    return *m;
}

void GenericStub::setReplyTimeoutMs(int ms) { replyTimeoutMs.store(ms); }

std::string GenericStub::getProxyId(std::string exec, std::string args) {
    return trimmed(std::move(exec)) + "||" + trimmed(std::move(args));
}

std::vector<std::string> GenericStub::buildArgv(const std::string& exec, const std::string& args) {
    std::vector<std::string> argv{exec};
    std::size_t start = 0;
    while (start <= args.size()) {
        std::size_t sep = args.find(';', start);
        if (sep == std::string::npos) sep = args.size();
        if (sep > start) argv.push_back(args.substr(start, sep - start));
        start = sep + 1;
    }
    return argv;
}

GenericStub* GenericStub::getInstance(std::string exec, std::string args) {
    std::lock_guard<std::mutex> lock(registryMutex());
    const std::string id = getProxyId(exec, args);
    auto& map = proxyMap();
    auto it = map.find(id);
    if (it != map.end()) {
        ++it->second.refCtr;
        return it->second.proxy.get();
    }

    std::string logName = exec.substr(exec.rfind('/') + 1);  // npos + 1 == 0
    if (logName.empty()) logName = "GenericStub";
    std::unique_ptr<GenericStub> stub(new GenericStub(logName, exec, args));
    if (!stub->proxyExists()) return nullptr;
    GenericStub* p = stub.get();
    map.emplace(id, proxyInfo{std::move(stub), 1});
    return p;
}

void GenericStub::closeInstance(std::string exec, std::string args) {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto& map = proxyMap();
    auto it = map.find(getProxyId(std::move(exec), std::move(args)));
    if (it == map.end()) return;
    if (--it->second.refCtr > 0) return;
    it->second.proxy->disconnectProxy();
    map.erase(it);
}

GenericStub::GenericStub(std::string logName, std::string exec, std::string args)
    : log(logName),
      proxyExec(std::move(exec)),
      proxyArgs(std::move(args)),
      channel(log, START_TEXTS, channelSetup()),
      replyEof(false) {
    SensorCtrl::addStopHook(ChildChannel::abandonForStop);
    if (access(proxyExec.c_str(), R_OK | X_OK) != 0) {
        log.logError("Proxy %s doesn't exist or is not executable. Pls check config",
                     proxyExec.c_str());
        proxyExec.clear();
        return;
    }
    if (!connectProxy()) {
        log.logError("Could not connect to the proxy:%s", proxyExec.c_str());
        disconnectProxy();
    }
}

bool GenericStub::connectProxy() {
    replyEof = false;
    return channel.start(proxyExec, buildArgv(proxyExec, proxyArgs));
}

void GenericStub::closeProxy() {
    channel.close();
    replyEof = false;
}

void GenericStub::disconnectProxy() {
    std::lock_guard<std::mutex> lock(instanceMutex);
    closeProxy();
}

const std::string GenericStub::executeQuery(const std::string& request) {
    std::string result;
    std::lock_guard<std::mutex> lock(instanceMutex);
    ChildChannel::Exchange inExchange(channel);
    if (inExchange.refused()) return result;

    // A proxy that closed its output (normally because it ended) cannot
    // answer; the channel closes as it does on a failed write.
    if (isOperational() && replyEof) {
        closeProxy();
        return result;
    }
    // What the proxy sent after its last answer (a surplus reply) must not be
    // taken for the answer to this request.
    if (isOperational() && !channel.discardUnsolicited(MAX_REPLY_BYTES)) closeProxy();
    if (!isOperational()) {
        if (!channel.restartIfDue(proxyExec, buildArgv(proxyExec, proxyArgs))) return result;
    }

    const int timeoutMs = replyTimeoutMs.load();
    FdIo::Deadline deadline(timeoutMs);
    if (channel.process().writeAll(request + "\n", timeoutMs) != FdIo::IoResult::Ok) {
        closeProxy();
        return result;
    }

    bool droppedLong = false;
    std::string line;
    for (;;) {
        LineReader::Status st = channel.lines()->readLine(line, deadline.remainingMs());
        if (st == LineReader::Status::Line) {
            result.append(line);
            if (channel.lines()->lastLineTerminated()) result.push_back('\n');
            if (line.compare(0, 14, "_response_ end") == 0) break;
            if (result.size() > MAX_REPLY_BYTES) {
                log.logError("Reply of proxy %s longer than %zu bytes, closing the channel",
                             proxyExec.c_str(), MAX_REPLY_BYTES);
                closeProxy();
                result.clear();
                break;
            }
        } else if (st == LineReader::Status::TooLong) {
            // The line cannot be passed on whole; a cut one could be misread.
            if (!droppedLong) {
                log.logWarning("Reply line of proxy %s longer than %zu bytes dropped",
                               proxyExec.c_str(), MAX_LINE_BYTES);
                droppedLong = true;
            }
        } else if (channel.isStopping()) {
            // The stop ends a proxy that is still answering, and with it
            // anything that holds its output: no fault, and what came before
            // is no answer.
            closeProxy();
            result.clear();
            break;
        } else if (st == LineReader::Status::Eof) {
            replyEof = true;
            break;
        } else if (st == LineReader::Status::Ended) {
            // Ended, but a process it started holds its output open: no end
            // of input would come, and the group is ended now.
            log.logError("Proxy %s ended before its answer was complete, closing the channel",
                         proxyExec.c_str());
            closeProxy();
            break;
        } else if (st == LineReader::Status::TimedOut) {
            log.logError("Proxy %s did not answer within %d ms, closing the channel",
                         proxyExec.c_str(), timeoutMs);
            closeProxy();
            break;
        } else {
            log.logError("Could not read the reply of proxy %s: %s (%d)", proxyExec.c_str(),
                         std::strerror(channel.lines()->error()), channel.lines()->error());
            closeProxy();
            break;
        }
    }
    return result;
}

bool GenericStub::isStopping() const { return channel.isStopping() || SensorCtrl::stopPending(); }
