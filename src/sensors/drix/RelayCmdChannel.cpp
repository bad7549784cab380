#include "RelayCmdChannel.h"

#include <malloc.h>
#include <unistd.h>

#include <cstring>

#include "ADMCmdStub.h"
#include "CAPQStub.h"
#include "Configuration.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "PthreadLock.h"
#include "SensorCtrl.h"

constexpr time_t RelayCmdChannel::RECONNECT_TIMEOUT;
constexpr std::size_t RelayCmdChannel::LINE_PIECE;
constexpr std::size_t RelayCmdChannel::MAX_REPLY;
constexpr std::size_t RelayCmdChannel::PIECE_COST;
constexpr int RelayCmdChannel::RELAY_END_MS;

namespace {
const ChildChannel::StartTexts START_TEXTS = {
    ChildChannel::PIPE_TEXT, "Could not fork {path}: {error} ({errno})",
    ChildChannel::REDIRECT_TEXT, "Could not execute {path}! {error}",
    ChildChannel::RELAY_BUSY_TEXT};

ChildChannel::Setup channelSetup() {
    ChildChannel::Setup setup;
    setup.failStatus = RelayCmdChannel::CHILD_FAIL_STATUS;
    setup.restartGap = RelayCmdChannel::RECONNECT_TIMEOUT - 1;
    // A failed pipe() leaves the next request free to try again at once.
    setup.pipeFailureCounts = false;
    setup.maxLine = RelayCmdChannel::LINE_PIECE;
    setup.overflow = LineReader::Overflow::Split;
    setup.stopGraceMs = RelayCmdChannel::RELAY_END_MS;
    return setup;
}
}  // namespace

RelayCmdChannel::RelayCmdChannel(const Names& n, pthread_mutex_t& m)
    : names(n), mutex(m), log(n.loggerName), channel(log, START_TEXTS, channelSetup()) {
    SensorCtrl::addStopHook(ChildChannel::abandonForStop);
    if (SensorCtrl::config)
        SensorCtrl::config->getParamStore().getString(names.configKey, proxyExec);
    // The file checked is the file run: ChildProcess never searches PATH.
    if (access(proxyExec.c_str(), R_OK | X_OK) != 0) {
        log.logError(names.notUsableMessage, proxyExec.c_str());
        proxyExec.clear();
        return;
    }
    connectADMCmd();
}

RelayCmdChannel::~RelayCmdChannel() { closeADMCmd(); }

bool RelayCmdChannel::connectADMCmd() { return channel.start(proxyExec, {proxyExec}); }

void RelayCmdChannel::closeADMCmd() { channel.close(); }

void RelayCmdChannel::disconnectADMCmd() {
    PthreadLock lock(mutex);
    closeADMCmd();
}

bool RelayCmdChannel::isStopping() const {
    return channel.isStopping() || SensorCtrl::stopPending();
}

RelayCmdChannel::Readiness RelayCmdChannel::readiness() {
    PthreadLock lock(mutex);
    if (!proxyExists() || channel.isStopping()) return Readiness::Waiting;
    const bool gapPassed = channel.restartGapPassed();
    if (channel.isOpen()) return gapPassed ? Readiness::Settled : Readiness::Young;
    return gapPassed ? Readiness::Startable : Readiness::Waiting;
}

std::vector<std::string>* RelayCmdChannel::executeCmd(const std::string& request) {
    PthreadLock lock(mutex);
    if (!proxyExists()) return nullptr;
    ChildChannel::Exchange inExchange(channel);
    if (inExchange.refused()) return nullptr;
    // Output after the last end line answers no request: never this one's.
    if (channel.isOpen() && !channel.discardUnsolicited(MAX_REPLY)) closeADMCmd();
    if (!channel.restartIfDue(proxyExec, {proxyExec})) return nullptr;

    const int timeoutMs = replyTimeoutMs();
    FdIo::Deadline deadline(timeoutMs);
    const FdIo::IoResult written =
        channel.process().writeAll(request + "\n", deadline.remainingMs());
    if (written != FdIo::IoResult::Ok) {
        // The relay has gone, or will not read: start afresh at a later request.
        if (written == FdIo::IoResult::TimedOut)
            abandonRelay();
        else
            closeADMCmd();
        return nullptr;
    }

    std::unique_ptr<std::vector<std::string>> reply(new std::vector<std::string>());
    std::size_t total = 0;
    bool atLineStart = true;  // only a whole line can be the end line
    std::string piece;
    for (;;) {
        const LineReader::Status status = channel.lines()->readLine(piece, deadline.remainingMs());
        if (status == LineReader::Status::Line || status == LineReader::Status::Piece) {
            const bool whole =
                status == LineReader::Status::Line && channel.lines()->lastLineTerminated();
            if (whole) piece.push_back('\n');
            if (atLineStart && whole && piece == names.endLine) return reply.release();
            atLineStart = whole;
            total += piece.size() + PIECE_COST;
            if (total > MAX_REPLY) {
                log.logError("Reply to %s exceeds %zu bytes; closing %s", request.c_str(),
                             MAX_REPLY, proxyExec.c_str());
                abandonRelay();
                // Give the pieces' memory back rather than keep it in the arenas.
                reply.reset();
                malloc_trim(0);
                return nullptr;
            }
            reply->push_back(std::move(piece));
            piece.clear();
            continue;
        }
        if (status == LineReader::Status::TimedOut) {
            log.logError("%s did not answer %s within %d ms; closing it", proxyExec.c_str(),
                         request.c_str(), timeoutMs);
            abandonRelay();
            return nullptr;
        }
        // End of input, the relay's end or a read error before the end line:
        // the relay has gone, so the channel closes now rather than failing
        // the next request. The stop ends a relay that is still answering;
        // that is no fault.
        if (!channel.isStopping()) log.logError(names.noEndMessage, request.c_str());
        if (status == LineReader::Status::Eof || status == LineReader::Status::Ended)
            closeADMCmd();
        else
            abandonRelay();
        return nullptr;
    }
}

// The singletons.

template <class Stub>
Stub* RelayCmdSingleton<Stub>::instance = nullptr;
template <class Stub>
uint32_t RelayCmdSingleton<Stub>::refCounter = 0;
// Static and never destroyed: a user that finds no channel, or comes after
// the last close, still locks it.
template <class Stub>
pthread_mutex_t RelayCmdSingleton<Stub>::mutex = PTHREAD_MUTEX_INITIALIZER;
template <class Stub>
pthread_once_t RelayCmdSingleton<Stub>::createCtrl = PTHREAD_ONCE_INIT;
template <class Stub>
pthread_once_t RelayCmdSingleton<Stub>::destroyCtrl = PTHREAD_ONCE_INIT;

template <class Stub>
Stub* RelayCmdSingleton<Stub>::getInstance() {
    pthread_once(&createCtrl, createSingleton);
    PthreadLock lock(mutex);
    ++refCounter;
    return instance;
}

template <class Stub>
void RelayCmdSingleton<Stub>::closeInstance() {
    PthreadLock lock(mutex);
    if (refCounter == 0) return;  // unbalanced release: nothing is held
    if (--refCounter != 0) return;
    // In the same hold of the lock as the last decrement, so a concurrent
    // getInstance sees either the live instance or null.
    pthread_once(&destroyCtrl, destroySingleton);
}

template <class Stub>
void RelayCmdSingleton<Stub>::createSingleton() {
    // Built outside the lock: the constructor starts the relay.
    Stub* stub = new Stub();
    if (!stub->proxyExists()) {
        delete stub;
        return;
    }
    PthreadLock lock(mutex);
    instance = stub;
}

// Runs with mutex held (from closeInstance).
template <class Stub>
void RelayCmdSingleton<Stub>::destroySingleton() {
    delete instance;
    instance = nullptr;
}

const RelayCmdChannel::Names CAPQStub::NAMES = {
    Cfg::CAPQCMD, "_response_ capqEnd\n", "CAPQStub",
    "CapqRelay %s doesn't exist or is not executable. Pls check config",
    "Couldn't parse output from command %s!"};

constexpr const char* ADMCmdStub::RESP_END;

const RelayCmdChannel::Names ADMCmdStub::NAMES = {
    Cfg::ADMCMD, RESP_END, "ADMCmdStub",
    "AdmCmdRelay %s doesn't exist or is not executable. Pls check config",
    "Couldn't parse output from admCmd %s!"};

template class RelayCmdSingleton<CAPQStub>;
template class RelayCmdSingleton<ADMCmdStub>;
