#include "TallyqResponse.h"

#include <cstring>

const std::string TallyqResponse::EVENT = "_event_";
const std::string TallyqResponse::RESPONSE = "_response_";
const std::string TallyqResponse::BEGIN = "begin";
const std::string TallyqResponse::END = "end";
const std::string TallyqResponse::TALLYQ = "tallyq";
const std::string TallyqResponse::RECORDHDR = "_tallyq::";
const std::string TallyqResponse::READREC = "_r_";
const std::string TallyqResponse::WRITEREC = "_w_";
const std::string TallyqResponse::ERROR = "_error_";
const std::string TallyqResponse::RPCOBJECT = "_rpcObj_";
const std::string TallyqResponse::RPCSTAT = "_stats_";
const std::string TallyqResponse::WAITERITEM = "_wti_";
const std::string TallyqResponse::BUFRITEM = "_bufr_";
const std::string TallyqResponse::MUTEXITEM = "_mutex_";
const std::string TallyqResponse::CONDVARITEM = "_condvar_";

constexpr std::size_t TallyqResponse::MAX_LINE;
constexpr std::size_t TallyqResponse::MAX_REPLY;
constexpr std::size_t TallyqResponse::STRAY_LINE_MAX;

// ---- TallyqRecord

const char* TallyqRecord::getStrMain(const std::string& key, const Logger& log) const {
    return getValue(main, key, log, "main");
}
const char* TallyqRecord::getStrRead(const std::string& key, const Logger& log) const {
    return getValue(read, key, log, "read");
}
const char* TallyqRecord::getStrWrite(const std::string& key, const Logger& log) const {
    return getValue(write, key, log, "write");
}

bool TallyqRecord::getDoubleMain(const std::string& key, double& out, const Logger& log) const {
    return getDouble(main, key, out, log, "main");
}
bool TallyqRecord::getDoubleRead(const std::string& key, double& out, const Logger& log) const {
    return getDouble(read, key, out, log, "read");
}
bool TallyqRecord::getDoubleWrite(const std::string& key, double& out, const Logger& log) const {
    return getDouble(write, key, out, log, "write");
}
bool TallyqRecord::getDoubleStat(const std::string& key, double& out, const Logger& log) const {
    return getDouble(stat, key, out, log, "stat");
}

bool TallyqRecord::getInt16Main(const std::string& key, uint16_t& out, const Logger& log) const {
    return getInt16(main, key, out, log, "main");
}

bool TallyqRecord::getInt32Main(const std::string& key, uint32_t& out, const Logger& log) const {
    return getInt32(main, key, out, log, "main");
}
bool TallyqRecord::getInt32Read(const std::string& key, uint32_t& out, const Logger& log) const {
    return getInt32(read, key, out, log, "read");
}
bool TallyqRecord::getInt32Write(const std::string& key, uint32_t& out, const Logger& log) const {
    return getInt32(write, key, out, log, "write");
}

bool TallyqRecord::getInt64Main(const std::string& key, uint64_t& out, const Logger& log) const {
    return getInt64(main, key, out, log, "main");
}
bool TallyqRecord::getInt64Read(const std::string& key, uint64_t& out, const Logger& log) const {
    return getInt64(read, key, out, log, "read");
}
bool TallyqRecord::getInt64Write(const std::string& key, uint64_t& out, const Logger& log) const {
    return getInt64(write, key, out, log, "write");
}
bool TallyqRecord::getInt64Stat(const std::string& key, uint64_t& out, const Logger& log) const {
    return getInt64(stat, key, out, log, "stat");
}

bool TallyqRecord::getIntFP64PairMain(const std::string& key, uint32_t& count, uint64_t& micros,
                                      const Logger& log) const {
    return getIFPair(main, key, count, micros, log, "ifpair");
}
bool TallyqRecord::getIntFPFPFP64QuadMain(const std::string& key, uint32_t& count,
                                          uint64_t& micros1, uint64_t& micros2, uint64_t& micros3,
                                          const Logger& log) const {
    return getIFFFQuad(main, key, count, micros1, micros2, micros3, log, "ifffquad");
}
bool TallyqRecord::getIntIntPairMain(const std::string& key, uint32_t& first, uint32_t& second,
                                     const Logger& log) const {
    return getIIPair(main, key, first, second, log, "iipair");
}
bool TallyqRecord::getInt64ArrayMain(const std::string& key, uint64_t* out, uint32_t n,
                                     const Logger& log) const {
    return getInt64Array(main, key, out, n, log, "mainArray");
}

// ---- TallyqResponse

TallyqResponse::~TallyqResponse() {
    for (TallyqRecord& r : response) {
        delete r.main;
        delete r.read;
        delete r.write;
        delete r.stat;
    }
}

TallyqResponse::lineType TallyqResponse::parseLine(std::string& line, std::string& name,
                                                   KeyValuesMap_t* map) {
    std::size_t pos = 0;
    std::string first;
    if (!nextToken(line, pos, first)) return lineError;
    std::string word;
    if (first == EVENT) {
        if (nextToken(line, pos, word)) name = word;
        parseKeyValue(line, pos, map);
        return eventLine;
    }
    if (first == RESPONSE) {
        if (!nextToken(line, pos, word)) return lineError;
        if (word == BEGIN) {
            nextToken(line, pos, word);  // the reply's kind, not used
            if (nextToken(line, pos, word)) name = word;
            return responseBegin;
        }
        return word == END ? responseEnd : lineError;
    }
    if (first.compare(0, RECORDHDR.size(), RECORDHDR) == 0) {
        parseKeyValue(line, pos, map);
        return recordHdr;
    }
    static const struct {
        const std::string& marker;
        lineType type;
    } partLines[] = {{READREC, readRecord},  {WRITEREC, writeRecord},   {RPCOBJECT, rpcObject},
                     {RPCSTAT, rpcStats},    {WAITERITEM, waiterItem},  {BUFRITEM, bufrItem},
                     {MUTEXITEM, mutexItem}, {CONDVARITEM, condvarItem}};
    for (const auto& p : partLines) {
        if (first == p.marker) {
            parseKeyValue(line, pos, map);
            return p.type;
        }
    }
    if (first == ERROR) {
        if (nextToken(line, pos, word)) name = word;
        return lineError;
    }
    name = line;
    return lineFatal;
}

TallyqResponse* TallyqResponse::readResponse(int fd, std::string& carry,
                                             const FdIo::Deadline& deadline) {
    TallyqReplyReader reader;
    if (!carry.empty()) reader.feed(carry.data(), carry.size());
    carry.clear();
    char buf[4096];
    while (!reader.complete()) {
        const int left = deadline.remainingMs();
        if (left == 0) {
            reader.fail();
            break;
        }
        const bool deadlineFirst = left > 0 && left < IDLE_TIMEOUT_MS;
        std::size_t got = 0;
        const FdIo::IoResult r =
            FdIo::readSome(fd, buf, sizeof buf, got, deadlineFirst ? left : IDLE_TIMEOUT_MS);
        if (r == FdIo::IoResult::Ok) {
            reader.feed(buf, got);
        } else if (r == FdIo::IoResult::TimedOut && deadlineFirst) {
            reader.fail();
        } else {
            reader.inputEnded();
        }
    }
    carry = reader.takeUnused();
    return reader.take();
}

TallyqResponse* TallyqResponse::parseResponse(int fd) {
    std::string carry;
    return readResponse(fd, carry, FdIo::Deadline(REPLY_DEADLINE_MS));
}

// ---- TallyqReplyReader

TallyqReplyReader::TallyqReplyReader() : reply(new TallyqResponse) {}

TallyqReplyReader::~TallyqReplyReader() {
    dropPending();
    delete reply;
}

void TallyqReplyReader::feed(const char* data, std::size_t len) {
    if (done || len == 0) return;
    const void* lastNl = memrchr(data, '\n', len);
    const std::size_t before = batch.size();
    batch.append(data, len);
    replyCost += len;
    if (lastNl != nullptr) unfinishedAt = before + (static_cast<const char*>(lastNl) - data) + 1;
    if (batch.back() == '\n') handleBatch();
    if (done) return;
    // A relay that never ends a line or a reply must not grow these for ever.
    if (batch.size() - unfinishedAt > TallyqResponse::MAX_LINE ||
        replyCost > TallyqResponse::MAX_REPLY) {
        fail();
    }
}

void TallyqReplyReader::handleBatch() {
    std::size_t start = 0;
    std::string line;
    while (start < batch.size()) {
        const std::size_t nl = batch.find('\n', start);
        if (nl - start > TallyqResponse::MAX_LINE) {
            fail();
            return;
        }
        line.assign(batch, start, nl - start);
        start = nl + 1;
        if (handleLine(line)) {
            done = true;
            unused.assign(batch, start, std::string::npos);
            break;
        }
        if (replyCost > TallyqResponse::MAX_REPLY) {
            fail();
            return;
        }
    }
    batch.clear();
    unfinishedAt = 0;
}

bool TallyqReplyReader::handleLine(std::string& line) {
    if (scratch == nullptr) scratch = new KeyValuesMap_t;
    const TallyqResponse::lineType t = TallyqResponse::parseLine(line, reply->name, scratch);
    replyCost += TallyqResponse::LINE_COST + scratch->size() * TallyqResponse::KEY_COST;
    for (const auto& kv : *scratch) replyCost += kv.second.size() * TallyqResponse::VALUE_COST;
    switch (t) {
        case TallyqResponse::responseBegin:
            reply->type = TallyqResponse::unknown;
            return false;
        case TallyqResponse::responseEnd:
            if (reply->type == TallyqResponse::unknown) reply->type = TallyqResponse::resp;
            commitPending();
            return true;
        case TallyqResponse::eventLine:
            reply->type = TallyqResponse::event;
            delete pending.main;
            delete pending.read;
            delete pending.write;
            delete pending.stat;
            pending = TallyqRecord();
            pending.main = scratch;
            scratch = nullptr;
            commitPending();
            return true;
        case TallyqResponse::recordHdr:
        case TallyqResponse::rpcObject:
        case TallyqResponse::waiterItem:
        case TallyqResponse::bufrItem:
        case TallyqResponse::mutexItem:
        case TallyqResponse::condvarItem:
            replyCost += TallyqResponse::RECORD_COST;
            if (pending.main != nullptr) commitPending();
            pending.main = scratch;
            scratch = nullptr;
            return false;
        case TallyqResponse::readRecord:
            delete pending.read;
            pending.read = scratch;
            scratch = nullptr;
            return false;
        case TallyqResponse::writeRecord:
            delete pending.write;
            pending.write = scratch;
            scratch = nullptr;
            return false;
        case TallyqResponse::rpcStats:
            delete pending.stat;
            pending.stat = scratch;
            scratch = nullptr;
            return false;
        case TallyqResponse::lineEOF:
            reply->type = TallyqResponse::eof;
            return true;
        case TallyqResponse::lineFatal:
            reply->type = TallyqResponse::fatal;
            reply->strayLine = line.substr(0, TallyqResponse::STRAY_LINE_MAX);
            return true;
        default:
            reply->type = TallyqResponse::error;
            return false;
    }
}

void TallyqReplyReader::commitPending() {
    reply->response.push_back(pending);
    pending = TallyqRecord();
}

void TallyqReplyReader::dropPending() {
    delete pending.main;
    delete pending.read;
    delete pending.write;
    delete pending.stat;
    pending = TallyqRecord();
    delete scratch;
    scratch = nullptr;
}

void TallyqReplyReader::inputEnded() {
    batch.clear();
    unfinishedAt = 0;
    done = true;
}

void TallyqReplyReader::fail() {
    batch.clear();
    unfinishedAt = 0;
    reply->type = TallyqResponse::fatal;
    done = true;
}

TallyqResponse* TallyqReplyReader::take() {
    dropPending();
    TallyqResponse* out = reply;
    reply = new TallyqResponse;
    batch.clear();
    unfinishedAt = 0;
    replyCost = 0;
    done = false;
    return out;
}

std::string TallyqReplyReader::takeUnused() {
    std::string out;
    out.swap(unused);
    return out;
}
