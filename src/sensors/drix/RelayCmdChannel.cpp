#include "RelayCmdChannel.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <set>

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
// The live channels, for the stop hook. Never destroyed: the hook may run
// while static destructors do.
std::mutex& registryLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::set<RelayCmdChannel*>& registry() {
    static auto* channels = new std::set<RelayCmdChannel*>;
    return *channels;
}
}  // namespace

RelayCmdChannel::RelayCmdChannel(const Names& n, pthread_mutex_t& m)
    : names(n), mutex(m), log(n.loggerName) {
    {
        std::lock_guard<std::mutex> hold(registryLock());
        registry().insert(this);
    }
    SensorCtrl::addStopHook(abandonBusyChannels);
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

RelayCmdChannel::~RelayCmdChannel() {
    {
        // Waits for a stop hook that is using this channel.
        std::lock_guard<std::mutex> hold(registryLock());
        registry().erase(this);
    }
    closeADMCmd();
}

void RelayCmdChannel::abandonBusyChannels() {
    std::lock_guard<std::mutex> hold(registryLock());
    for (RelayCmdChannel* channel : registry()) channel->abandonForStop();
}

void RelayCmdChannel::abandonForStop() {
    stopping.store(true);
    if (!busy.load()) return;
    child.signal(SIGTERM);
    FdIo::Deadline deadline(RELAY_END_MS);
    while (busy.load() && !deadline.passed()) {
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    if (busy.load()) child.signal(SIGKILL);
}

bool RelayCmdChannel::connectADMCmd() {
    const time_t now = monotonicSeconds();
    ChildProcess::Options options;
    options.input = ChildProcess::Input::Pipe;
    options.output = ChildProcess::Output::Pipe;
    options.error = ChildProcess::ErrorOutput::Inherit;
    options.failStatus = CHILD_FAIL_STATUS;
    const ChildProcess::StartResult started = child.start(proxyExec, {proxyExec}, options);
    // A start counts against the restart gap once its pipes exist; a failed
    // pipe() leaves the next request free to try again at once.
    if (started.stage != ChildProcess::Stage::Pipe && started.stage != ChildProcess::Stage::DevNull)
        throttle.noteAttempt(now);
    switch (started.stage) {
        case ChildProcess::Stage::None:
            reader.reset(new LineReader(child.outputFd(), LINE_PIECE, LineReader::Overflow::Split));
            return true;
        case ChildProcess::Stage::Pipe:
        case ChildProcess::Stage::DevNull:
            log.logError("Could not create pipes: %s (%d)", strerror(started.err), started.err);
            break;
        case ChildProcess::Stage::Fork:
            log.logError("Could not fork %s: %s (%d)", proxyExec.c_str(), strerror(started.err),
                         started.err);
            break;
        case ChildProcess::Stage::Redirect:
            log.logError("Could not duplicate file descriptors!");
            break;
        case ChildProcess::Stage::Exec:
            log.logError("Could not execute %s! %s", proxyExec.c_str(), strerror(started.err));
            break;
        case ChildProcess::Stage::Busy:
            log.logError("Could not start %s: the previous relay is still attached",
                         proxyExec.c_str());
            break;
    }
    // ChildProcess has closed whatever it opened: the channel stays closed.
    closeADMCmd();
    return false;
}

void RelayCmdChannel::closeADMCmd() {
    // ChildProcess closes each descriptor once and marks it closed, so a
    // second close can never hit a descriptor another thread has opened since.
    reader.reset();
    child.release();
}

void RelayCmdChannel::disconnectADMCmd() {
    PthreadLock lock(mutex);
    closeADMCmd();
}

void RelayCmdChannel::abandonRelay() {
    // A relay still writing would not see the end of its input until its
    // tool finishes, and a hung tool never does. Told to end, it ends its
    // tool's group first; it is killed only if it has not ended by then.
    child.signal(SIGTERM);
    child.closeInput();
    child.closeOutput();
    child.wait(RELAY_END_MS);
    closeADMCmd();
}

namespace {
// Marks a channel busy for the life of one exchange.
struct BusyScope {
    std::atomic<bool>& flag;
    explicit BusyScope(std::atomic<bool>& f) : flag(f) { flag.store(true); }
    ~BusyScope() { flag.store(false); }
};
}  // namespace

std::vector<std::string>* RelayCmdChannel::executeCmd(const std::string& request) {
    PthreadLock lock(mutex);
    if (!proxyExists() || stopping.load()) return nullptr;
    BusyScope inExchange(busy);
    if (!isOperational()) {
        if (throttle.mayStart(monotonicSeconds())) connectADMCmd();
        if (!isOperational()) return nullptr;
    }

    const int timeoutMs = replyTimeoutMs();
    FdIo::Deadline deadline(timeoutMs);
    const FdIo::IoResult written = child.writeAll(request + "\n", deadline.remainingMs());
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
        const LineReader::Status status = reader->readLine(piece, deadline.remainingMs());
        if (status == LineReader::Status::Line || status == LineReader::Status::Piece) {
            const bool whole = status == LineReader::Status::Line && reader->lastLineTerminated();
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
        // End of input or a read error before the end line: the relay has
        // gone, so the channel closes now rather than failing the next request.
        log.logError(names.noEndMessage, request.c_str());
        if (status == LineReader::Status::Eof)
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
