#include "CephStub.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "Configuration.h"
#include "ParamNames.h"
#include "SensorCtrl.h"

namespace {

// A busy cluster can take some seconds to answer; a relay silent for this
// long is taken as hung.
std::atomic<int> replyTimeout{30000};

const char* const END_LINE = ".";

const ChildChannel::StartTexts START_TEXTS = {
    ChildChannel::PIPE_TEXT, "Could not start {path}: {error} ({errno})",
    ChildChannel::REDIRECT_TEXT, "Could not execute {path}! {error}",
    ChildChannel::RELAY_BUSY_TEXT};

ChildChannel::Setup channelSetup() {
    ChildChannel::Setup setup;
    setup.failStatus = CephStub::CHILD_FAIL_STATUS;
    setup.maxLine = CephStub::MAX_LINE;
    // The relay and what it runs, told to end at daemon stop.
    setup.stopGraceMs = 500;
    return setup;
}

}  // namespace

CephStub* CephStub::cephStub = nullptr;
uint32_t CephStub::refCounter = 0;
bool CephStub::created = false;
std::mutex CephStub::mutex;

void CephStub::setReplyTimeoutMs(int ms) { replyTimeout.store(ms, std::memory_order_relaxed); }

int CephStub::replyTimeoutMs() { return replyTimeout.load(std::memory_order_relaxed); }

CephStub* CephStub::getInstance() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!created) {
        created = true;
        CephStub* stub = new CephStub();
        if (stub->proxyExists()) {
            cephStub = stub;
        } else {
            delete stub;
            cephStub = nullptr;
        }
    }
    ++refCounter;
    return cephStub;
}

void CephStub::closeInstance() {
    CephStub* doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (refCounter == 0) return;  // unbalanced release: nothing is held
        if (--refCounter != 0) return;
        doomed = cephStub;
        if (doomed) doomed->closeCeph();
        cephStub = nullptr;
        created = false;
    }
    delete doomed;
}

CephStub::CephStub() : log("CephStub"), channel(log, START_TEXTS, channelSetup()) {
    SensorCtrl::addStopHook(ChildChannel::abandonForStop);
    if (SensorCtrl::config)
        SensorCtrl::config->getParamStore().getString(Cfg::CEPHRADOS, proxyExec);
    // The file checked here is the file run: the relay is started by exactly
    // this path, never looked up in PATH.
    if (proxyExec.empty() || access(proxyExec.c_str(), R_OK | X_OK) != 0) {
        log.logError("CephRelay %s doesn't exist or is not executable. Pls check config",
                     proxyExec.c_str());
        proxyExec.clear();
        return;
    }
    if (!connectCeph()) {
        log.logError("Could not connect to ceph proxy.");
        closeCeph();
    }
}

CephStub::~CephStub() { closeCeph(); }

bool CephStub::connectCeph() { return channel.start(proxyExec, {proxyExec}); }

void CephStub::closeCeph() { channel.close(); }

const std::string CephStub::executeQuery(const std::string& request) {
    std::string result;
    std::lock_guard<std::mutex> lock(mutex);
    ChildChannel::Exchange inExchange(channel);
    if (inExchange.refused()) return result;
    // A surplus reply must not be taken for the answer to this request.
    if (channel.isOpen() && !channel.discardUnsolicited(MAX_REPLY)) closeCeph();
    if (!channel.restartIfDue(proxyExec, {proxyExec})) {
        closeCeph();
        return result;
    }

    const int timeoutMs = replyTimeoutMs();
    if (channel.process().writeAll(request + "\n", timeoutMs) != FdIo::IoResult::Ok) {
        // The stop may have ended the relay as it was being asked.
        if (!channel.isStopping())
            log.logError("Could not send request %s to the ceph relay: %s", request.c_str(),
                         strerror(errno));
        closeCeph();
        return result;
    }

    // One deadline for the whole reply: a relay that trickles lines cannot
    // hold the channel (and the other Ceph sensor) for longer than this.
    FdIo::Deadline deadline(timeoutMs);
    std::string line;
    for (;;) {
        const LineReader::Status status = channel.lines()->readLine(line, deadline.remainingMs());
        if (status == LineReader::Status::Line) {
            if (line == END_LINE) return result;
            if (result.size() + line.size() + 1 > MAX_REPLY) {
                log.logError("Reply of the ceph relay to %s exceeds %zu bytes; dropped",
                             request.c_str(), MAX_REPLY);
                closeCeph();
                return std::string();
            }
            result.append(line);
            result.push_back('\n');
        } else if (status == LineReader::Status::TooLong) {
            // A cut line would yield a record with wrong values: drop it whole.
            log.logWarning("Dropped a reply line of more than %zu bytes from the ceph relay",
                           MAX_LINE);
        } else if (channel.isStopping()) {
            // The stop ends a relay that is still answering, and with it
            // anything that holds its output: no fault, and what came before
            // is no answer.
            closeCeph();
            return std::string();
        } else {
            if (status == LineReader::Status::TimedOut) {
                log.logError("Ceph relay did not answer %s within %d ms; closing it",
                             request.c_str(), timeoutMs);
            } else if (status == LineReader::Status::Ended) {
                log.logError("Ceph relay ended before its answer to %s was complete; closing it",
                             request.c_str());
            } else if (status == LineReader::Status::Error) {
                log.logError("Could not read the reply of the ceph relay: %s",
                             strerror(channel.lines()->error()));
            }
            // The relay has ended its output, or can no longer be trusted to
            // stay in step with our requests: start afresh at a later query.
            closeCeph();
            return result;
        }
    }
}

bool CephStub::isStopping() const { return channel.isStopping() || SensorCtrl::stopPending(); }
