#include "TallyqStub.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

#include "Configuration.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "PthreadLock.h"
#include "SensorCtrl.h"

TallyqStub* TallyqStub::tallyqStub = nullptr;
int32_t TallyqStub::refCounter = 0;
// Static and never destroyed: sensors that start late or find no channel
// still lock it, so it must stay valid for the whole process.
pthread_mutex_t TallyqStub::mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t TallyqStub::createCtrl = PTHREAD_ONCE_INIT;
pthread_once_t TallyqStub::destroyCtrl = PTHREAD_ONCE_INIT;

namespace {
const ChildChannel::StartTexts START_TEXTS = {
    ChildChannel::PIPE_TEXT, "Could not fork: {error} ({errno})", ChildChannel::REDIRECT_TEXT,
    "Could not execute {path}: {error}", ChildChannel::RELAY_BUSY_TEXT};

ChildChannel::Setup channelSetup() {
    ChildChannel::Setup setup;
    setup.failStatus = TallyqStub::CHILD_FAIL_STATUS;
    setup.restartGap = TallyqStub::RESTART_GAP_S;
    return setup;
}

// Requests whose replies open alike ("tallyq wqm", "tallyq rpcs"), each a
// bit for the sets of them below.
enum KindBit : unsigned { WQM = 1, WQM_FS = 2, WQM_FSET = 4, RPCS_NS = 8, RPCS_1S = 16 };
struct Kind {
    const char* request;
    unsigned bit;
};
const Kind KINDS[] = {{"tallyq wqm", WQM},
                      {"tallyq wqm fs", WQM_FS},
                      {"tallyq wqm fset", WQM_FSET},
                      {"tallyq rpcs ns", RPCS_NS},
                      {"tallyq rpcs 1s", RPCS_1S}};

// Keys that only some of those replies hold: a filesystem or fileset name, a
// peer's names. Any record holding one shows that the reply answers none of
// the others. Their absence shows nothing: a record may lack each of them (a
// filesystem reported as unknown, a peer without a name).
struct Telling {
    const char* key;
    unsigned holders;  // the kinds whose replies may hold the key
};
const Telling TELLING[] = {{"_fs_", WQM_FS | WQM_FSET},
                           {"_fset_", WQM_FSET},
                           {"_cl_", RPCS_1S},
                           {"_rnn_", RPCS_1S},
                           {"_nn_", RPCS_1S}};

// Whether the words of prefix begin request, word by word.
bool leadsWith(const std::string& request, const char* prefix) {
    std::istringstream a(request), b(prefix);
    std::string x, y;
    while (b >> y) {
        if (!(a >> x) || x != y) return false;
    }
    return true;
}

// The kind whose request leads request, the longest one; null when none.
const Kind* kindOfRequest(const std::string& request) {
    const Kind* best = nullptr;
    for (const Kind& k : KINDS) {
        if (leadsWith(request, k.request) &&
            (best == nullptr || std::strlen(k.request) > std::strlen(best->request)))
            best = &k;
    }
    return best;
}
}  // namespace

constexpr int TallyqStub::MAX_EVENTS;
constexpr int TallyqStub::QUERY_DEADLINE_MS;

TallyqStub* TallyqStub::getInstance() {
    pthread_once(&createCtrl, createSingleton);
    PthreadLock lock(mutex);
    ++refCounter;
    return tallyqStub;
}

void TallyqStub::releaseInstance() {
    PthreadLock lock(mutex);
    if (refCounter <= 0) return;  // unbalanced release: nothing is held
    if (--refCounter != 0) return;
    // Destroyed in the same hold of the lock as the last decrement, so a
    // concurrent getInstance sees either the live instance or null.
    pthread_once(&destroyCtrl, destroySingleton);
}

void TallyqStub::createSingleton() {
    LoggerStub log("TallyqStub");
    std::string path;
    if (SensorCtrl::config) SensorCtrl::config->getParamStore().getString(Cfg::TALLYQ, path);
    // The relay runs by exactly this path; a bare name would be looked up in
    // PATH and could run a program other than the one checked here.
    if (path.find('/') == std::string::npos || access(path.c_str(), X_OK) != 0) {
        log.logError("TallyqRelay %s is not executable, please check the configuration.",
                     path.c_str());
        return;
    }
    TallyqStub* stub = new TallyqStub(path);
    PthreadLock lock(mutex);
    tallyqStub = stub;
}

// Runs with mutex held (from releaseInstance).
void TallyqStub::destroySingleton() {
    delete tallyqStub;
    tallyqStub = nullptr;
}

TallyqStub::TallyqStub(const std::string& path)
    : log("TallyqStub"), proxyFilename(path), channel(log, START_TEXTS, channelSetup()) {
    if (!connectTallyq()) {
        log.logError("Could not connect to TALLYQ proxy.");
        return;
    }
    readGreeting();
}

TallyqStub::~TallyqStub() { disconnectTallyq(); }

bool TallyqStub::connectTallyq() {
    carry.clear();
    return channel.start(proxyFilename, {proxyFilename});
}

bool TallyqStub::readGreeting() {
    TallyqResponse* greeting = TallyqResponse::readResponse(channel.process().outputFd(), carry,
                                                            FdIo::Deadline(QUERY_DEADLINE_MS));
    const bool ok = greeting->isEvent();
    if (!ok) {
        noteStrayLine(*greeting);
        log.logError("No or invalid response from TALLYQ proxy.");
        disconnectTallyq();
    }
    delete greeting;
    carry.clear();  // sent before any request: belongs to none
    return ok;
}

void TallyqStub::noteStrayLine(const TallyqResponse& reply) {
    const std::string& line = reply.getStrayLine();
    if (line.empty() || line == lastStrayLine) return;
    lastStrayLine = line;
    log.logError("Unexpected output from TALLYQ proxy: %s", line.c_str());
}

void TallyqStub::disconnectTallyq() {
    channel.close(SIGTERM);
    carry.clear();
}

TallyqStub::Request TallyqStub::classify(const std::string& request) {
    Request out;
    out.words = TallyqResponse::requestWords(request);
    const Kind* kind = kindOfRequest(request);
    out.kind = kind != nullptr ? kind->bit : 0;
    out.name = kind != nullptr ? kind->request : out.words;
    return out;
}

std::string TallyqStub::answersAnother(const TallyqResponse& reply, const Request& request) {
    // A reply without an opening line names nothing, and is not taken for
    // another request's.
    if (reply.getAnswered().empty()) return "";
    if (!reply.isResponse() && !reply.isError() && reply.getType() != TallyqResponse::unknown)
        return "";
    if (reply.getAnswered() != request.words) return reply.getAnswered();
    // The opening names a family of requests: only keys that this request's
    // reply never holds tell another's, in whichever record they are.
    if (request.kind == 0) return "";
    unsigned family = 0;
    for (const Kind& k : KINDS) {
        if (TallyqResponse::requestWords(k.request) == reply.getAnswered()) family |= k.bit;
    }
    bool telling = false;
    for (const Telling& t : TELLING)
        telling |= (t.holders & family) != 0 && !(t.holders & request.kind);
    if (!telling) return "";
    unsigned possible = family;  // the kinds whose replies may hold every telling key seen
    for (const TallyqRecord& r : reply.getRecordList()) {
        const KeyValuesMap_t* main = r.getMainMap();
        if (main == nullptr) continue;
        for (const Telling& t : TELLING) {
            if ((t.holders & family) != 0 && main->find(t.key) != main->end())
                possible &= t.holders;
        }
    }
    if (possible & request.kind) return "";
    for (const Kind& k : KINDS) {
        if (possible & k.bit) return k.request;
    }
    return "";
}

void TallyqStub::noteOversize(TallyqResponse::Oversize why, const std::string& request) {
    if (!oversized.insert(request).second) return;
    if (why == TallyqResponse::Oversize::Text)
        log.logError("Reply to %s exceeds %zu bytes; dropped", request.c_str(),
                     TallyqResponse::MAX_REPLY);
    else
        log.logError("Reply to %s needs more than %zu bytes of memory once parsed; dropped",
                     request.c_str(), TallyqResponse::MAX_PARSED);
}

TallyqResponse* TallyqStub::executeQuery(const std::string& request) {
    PthreadLock lock(mutex);
    // A late or repeated reply must not become the answer to this request.
    if (isConnected() && !channel.discardUnsolicited(TallyqResponse::MAX_REPLY, carry.size()))
        disconnectTallyq();
    carry.clear();
    if (!isConnected() &&
        (!channel.restartIfDue(proxyFilename, {proxyFilename}) || !readGreeting()))
        return nullptr;

    // One deadline for the whole exchange: a relay that trickles bytes or
    // events cannot hold the lock, and every statistics sensor, for ever.
    FdIo::Deadline deadline(QUERY_DEADLINE_MS);
    if (channel.process().writeAll(request + "\n", deadline.remainingMs()) != FdIo::IoResult::Ok) {
        disconnectTallyq();
        return nullptr;
    }
    // Events, and replies that answer another request (a copy that came
    // late), are passed over within the same deadline. Anything else is the
    // answer at once: waiting to see whether more follows would hold every
    // other sensor's request.
    const Request mine = classify(request);
    TallyqResponse* reply = nullptr;
    for (int skipped = 0;; ++skipped) {
        reply = TallyqResponse::readResponse(channel.process().outputFd(), carry, deadline);
        if (!reply->isEvent()) {
            const std::string other = answersAnother(*reply, mine);
            if (other.empty()) break;
            log.logWarning("Dropped a reply to %s while waiting for the reply to %s",
                           other.c_str(), mine.name.c_str());
        }
        delete reply;
        reply = nullptr;
        if (skipped == MAX_EVENTS) break;  // a flood counts as end of input
    }
    if (reply == nullptr || reply->isFatal() || reply->isEOF()) {
        const bool fatal = reply != nullptr && reply->isFatal();
        const TallyqResponse::Oversize oversize =
            fatal ? reply->getOversize() : TallyqResponse::Oversize::None;
        if (oversize != TallyqResponse::Oversize::None)
            noteOversize(oversize, request);
        else if (fatal)
            noteStrayLine(*reply);
        // A reply refused for its size but read to its end leaves the
        // channel in step: the other sensors keep their samples.
        const bool inStep = reply != nullptr && reply->wasReadToEnd();
        delete reply;
        if (!inStep) disconnectTallyq();
        // A reply cut at its bound may have left tens of MB in the arenas.
        if (fatal) malloc_trim(0);
        // Handed over without records, so that the sensor knows the reason
        // has been logged and says nothing more.
        if (oversize != TallyqResponse::Oversize::None) return TallyqResponse::refused(oversize);
        return nullptr;
    }
    lastStrayLine.clear();
    oversized.erase(request);
    return reply;
}

TallyqResponse* TallyqStub::createTallyqResponseFromFile(const std::string& path) {
    PthreadLock lock(mutex);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    TallyqResponse* reply = TallyqResponse::parseResponse(fd);
    if (fd >= 0) close(fd);
    return reply;
}
