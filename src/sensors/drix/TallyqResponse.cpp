#include "TallyqResponse.h"

#include <algorithm>
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
constexpr std::size_t TallyqResponse::MAX_PARSED;
constexpr std::size_t TallyqResponse::STRAY_LINE_MAX;

namespace {

// What the allocator takes for n bytes: a header and rounding to 16 bytes,
// at least its smallest chunk (as glibc does on 64-bit systems).
std::size_t heapCost(std::size_t n) {
    return n == 0 ? 0 : std::max<std::size_t>(32, (n + 8 + 15) & ~std::size_t(15));
}

// Frees the parts of a record, which owns them once built.
void freeParts(TallyqRecord& r) {
    delete r.getMainMap();
    delete r.getReadMap();
    delete r.getWriteMap();
    delete r.getStatMap();
    r = TallyqRecord();
}

// A line's map as a reply holds it: the object and its block.
std::size_t mapCost(const KeyValuesMap_t* map) {
    return map == nullptr ? 0 : heapCost(sizeof(KeyValuesMap_t)) + heapCost(map->blockBytes());
}

}  // namespace

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
    for (TallyqRecord& r : response) freeParts(r);
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

TallyqResponse* TallyqResponse::refused(Oversize why) {
    TallyqResponse* reply = new TallyqResponse;
    reply->type = fatal;
    reply->oversize = why;
    return reply;
}

std::string TallyqResponse::requestWords(const std::string& request) {
    std::size_t pos = 0;
    std::string words, word;
    for (int i = 0; i < 2 && nextToken(request, pos, word); ++i)
        words += (i == 0 ? "" : " ") + word;
    return words;
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
    batch.append(data, len);
    textBytes += len;
    if (refused) {
        skipLines();
        return;
    }
    // Complete lines are parsed at once, so the reply's text is never held
    // beside its parsed form; only the unfinished last line waits.
    if (memchr(data, '\n', len) != nullptr) handleLines();
    if (done) return;
    if (batch.empty()) {
        // The batch ended with a line feed: input that stops from here on
        // keeps what it has parsed so far.
        checkpoint();
    } else if (batch.size() > TallyqResponse::MAX_LINE) {
        // A relay that never ends a line or a reply must not grow these for ever.
        fail();
    }
    if (done) return;
    if (textBytes > TallyqResponse::MAX_REPLY) {
        refuse(TallyqResponse::Oversize::Text);
    } else if (overParsed || heldBytes() > TallyqResponse::MAX_PARSED) {
        refuse(TallyqResponse::Oversize::Parsed);
    }
}

void TallyqReplyReader::refuse(TallyqResponse::Oversize why) {
    // What was parsed goes at once; the rest is read to the reply's end
    // without being kept, so that the channel stays in step with its requests.
    dropPending();
    for (TallyqRecord& r : reply->response) freeParts(r);
    RecordList_t().swap(reply->response);
    reply->type = TallyqResponse::fatal;
    reply->oversize = why;
    refused = true;
    skipLines();
}

void TallyqReplyReader::skipLines() {
    std::size_t start = 0;
    std::string name;
    for (;;) {
        const std::size_t nl = batch.find('\n', start);
        if (nl == std::string::npos) break;
        std::string line = batch.substr(start, std::min<std::size_t>(nl - start, 64));
        const bool tail = inLongLine;
        inLongLine = false;
        start = nl + 1;
        if (!tail && TallyqResponse::parseLine(line, name, nullptr) == TallyqResponse::responseEnd) {
            reply->endRead = true;
            done = true;
            unused.assign(batch, start, std::string::npos);
            batch.clear();
            return;
        }
    }
    batch.erase(0, start);
    if (batch.size() > TallyqResponse::MAX_LINE) {
        // The rest of a line this long is no end line.
        batch.clear();
        inLongLine = true;
    }
}

void TallyqReplyReader::handleLines() {
    std::size_t start = 0;
    std::string line;
    for (;;) {
        const std::size_t nl = batch.find('\n', start);
        if (nl == std::string::npos) break;
        if (nl - start > TallyqResponse::MAX_LINE) {
            fail();
            return;
        }
        line.assign(batch, start, nl - start);
        start = nl + 1;
        const bool completes = handleLine(line);
        if (overParsed || heldBytes() > TallyqResponse::MAX_PARSED) {
            batch.erase(0, start);
            refuse(TallyqResponse::Oversize::Parsed);
            return;
        }
        if (completes) {
            done = true;
            unused.assign(batch, start, std::string::npos);
            batch.clear();
            return;
        }
    }
    batch.erase(0, start);
}

void TallyqReplyReader::checkpoint() {
    kept.records = reply->response.size();
    kept.type = reply->type;
    kept.name = reply->name;
    kept.answered = reply->answered;
}

bool TallyqReplyReader::handleLine(std::string& line) {
    if (scratch == nullptr) scratch = new KeyValuesMap_t;
    const TallyqResponse::lineType t = TallyqResponse::parseLine(line, reply->name, scratch);
    switch (t) {
        case TallyqResponse::responseBegin: {
            reply->type = TallyqResponse::unknown;
            // The kind and name follow "_response_ begin".
            std::size_t pos = 0;
            std::string word;
            nextToken(line, pos, word);
            nextToken(line, pos, word);
            reply->answered = TallyqResponse::requestWords(line.substr(pos));
            return false;
        }
        case TallyqResponse::responseEnd:
            if (reply->type == TallyqResponse::unknown) reply->type = TallyqResponse::resp;
            commitPending();
            return true;
        case TallyqResponse::eventLine:
            reply->type = TallyqResponse::event;
            // An event is a reply of its own: records begun before it go.
            freeParts(pending);
            setPart(pending.main);
            commitPending();
            return true;
        case TallyqResponse::recordHdr:
        case TallyqResponse::rpcObject:
        case TallyqResponse::waiterItem:
        case TallyqResponse::bufrItem:
        case TallyqResponse::mutexItem:
        case TallyqResponse::condvarItem:
            if (pending.main != nullptr) commitPending();
            setPart(pending.main);
            return false;
        case TallyqResponse::readRecord:
            setPart(pending.read);
            return false;
        case TallyqResponse::writeRecord:
            setPart(pending.write);
            return false;
        case TallyqResponse::rpcStats:
            setPart(pending.stat);
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

std::size_t TallyqReplyReader::heldBytes() const {
    return parsedBytes + heapCost(batch.capacity());
}

void TallyqReplyReader::setPart(KeyValuesMap_t*& part) {
    if (part != nullptr) {
        parsedBytes -= std::min(parsedBytes, mapCost(part));
        delete part;
    }
    part = scratch;
    scratch = nullptr;
    parsedBytes += mapCost(part);
}

void TallyqReplyReader::commitPending() {
    RecordList_t& records = reply->response;
    const std::size_t had = records.capacity();
    if (records.size() == had) {
        // The list grows only when the grown list still fits the bound:
        // while it moves, the old and the new one are both held.
        const std::size_t grown = had == 0 ? 16 : 2 * had;
        const std::size_t cost = parsedBytes + heapCost(grown * sizeof(TallyqRecord)) -
                                 std::min(parsedBytes, heapCost(had * sizeof(TallyqRecord)));
        if (cost > TallyqResponse::MAX_PARSED) {
            overParsed = true;
            dropPending();
            return;
        }
        records.reserve(grown);
        parsedBytes = cost;
    }
    records.push_back(pending);
    pending = TallyqRecord();
}

void TallyqReplyReader::dropPending() {
    freeParts(pending);
    delete scratch;
    scratch = nullptr;
}

void TallyqReplyReader::inputEnded() {
    if (refused) {
        batch.clear();
        done = true;
        return;
    }
    // The lines of a batch that input left unfinished do not count, as if
    // they had waited for its end: the reply is as the last whole batch left it.
    RecordList_t& records = reply->response;
    for (std::size_t i = kept.records; i < records.size(); ++i) {
        freeParts(records[i]);
    }
    records.resize(std::min(kept.records, records.size()));
    reply->type = kept.type;
    reply->name = kept.name;
    reply->answered = kept.answered;
    batch.clear();
    done = true;
}

void TallyqReplyReader::fail(TallyqResponse::Oversize why) {
    batch.clear();
    reply->type = TallyqResponse::fatal;
    reply->oversize = why;
    done = true;
}

TallyqResponse* TallyqReplyReader::take() {
    dropPending();
    TallyqResponse* out = reply;
    reply = new TallyqResponse;
    batch.clear();
    kept = Checkpoint();
    refused = false;
    inLongLine = false;
    textBytes = 0;
    parsedBytes = 0;
    overParsed = false;
    done = false;
    return out;
}

std::string TallyqReplyReader::takeUnused() {
    std::string out;
    out.swap(unused);
    return out;
}
