// One reply of the filesystem's statistics facility, as relayed by
// TallyqSockRelay: its kind, its name and its records, each record with up to
// four key/value parts.
//
// A reply is framed by "_response_ begin <word> <name>" and "_response_ end";
// in between, record opener lines ("_tallyq::...", "_rpcObj_", "_wti_",
// "_bufr_", "_mutex_", "_condvar_") each start a record, and "_r_", "_w_" and
// "_stats_" lines add the read, write and statistics parts of the record
// being built. An "_event_" line is a reply of its own.
//
// Ownership: a TallyqResponse owns every map of its records (one flat
// KeyValuesMap per line, see StringParser.h) and deletes them with itself;
// records are handed out by value and their pointers stay valid while the
// reply lives. Whoever receives a reply (from parseResponse or
// TallyqStub::executeQuery) deletes it. A reply is read-only once returned,
// so several threads may read one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FdIo.h"
#include "Logger.h"
#include "StringParser.h"

class TallyqRecord {
  public:
    TallyqRecord() = default;

    const KeyValuesMap_t* getMainMap() const { return main; }
    const KeyValuesMap_t* getReadMap() const { return read; }
    const KeyValuesMap_t* getWriteMap() const { return write; }
    const KeyValuesMap_t* getStatMap() const { return stat; }

    // Each getter reads one part (see StringParser.h for the results).
    const char* getStrMain(const std::string& key, const Logger& log) const;
    const char* getStrRead(const std::string& key, const Logger& log) const;
    const char* getStrWrite(const std::string& key, const Logger& log) const;

    bool getDoubleMain(const std::string& key, double& out, const Logger& log) const;
    bool getDoubleRead(const std::string& key, double& out, const Logger& log) const;
    bool getDoubleWrite(const std::string& key, double& out, const Logger& log) const;
    bool getDoubleStat(const std::string& key, double& out, const Logger& log) const;

    bool getInt16Main(const std::string& key, uint16_t& out, const Logger& log) const;

    bool getInt32Main(const std::string& key, uint32_t& out, const Logger& log) const;
    bool getInt32Read(const std::string& key, uint32_t& out, const Logger& log) const;
    bool getInt32Write(const std::string& key, uint32_t& out, const Logger& log) const;

    bool getInt64Main(const std::string& key, uint64_t& out, const Logger& log) const;
    bool getInt64Read(const std::string& key, uint64_t& out, const Logger& log) const;
    bool getInt64Write(const std::string& key, uint64_t& out, const Logger& log) const;
    bool getInt64Stat(const std::string& key, uint64_t& out, const Logger& log) const;

    bool getIntFP64PairMain(const std::string& key, uint32_t& count, uint64_t& micros,
                            const Logger& log) const;
    bool getIntFPFPFP64QuadMain(const std::string& key, uint32_t& count, uint64_t& micros1,
                                uint64_t& micros2, uint64_t& micros3, const Logger& log) const;
    bool getIntIntPairMain(const std::string& key, uint32_t& first, uint32_t& second,
                           const Logger& log) const;
    bool getInt64ArrayMain(const std::string& key, uint64_t* out, uint32_t n,
                           const Logger& log) const;

  private:
    friend class TallyqResponse;
    friend class TallyqReplyReader;

    // Borrowed from the owning TallyqResponse; null while the part is absent.
    KeyValuesMap_t* main = nullptr;
    KeyValuesMap_t* read = nullptr;
    KeyValuesMap_t* write = nullptr;
    KeyValuesMap_t* stat = nullptr;
};

typedef std::vector<TallyqRecord> RecordList_t;

class TallyqResponse {
  public:
    enum respType { unknown = 0, resp = 1, event = 2, error = 3, eof = 4, fatal = 5 };
    enum lineType {
        unknownLine = 0,
        responseBegin = 1,
        responseEnd = 2,
        eventLine = 3,
        recordHdr = 4,
        writeRecord = 5,
        readRecord = 6,
        lineError = 7,
        lineEOF = 8,
        lineFatal = 9,
        commitRecord = 10,
        rpcObject = 11,
        rpcStats = 12,
        waiterItem = 13,
        bufrItem = 14,
        mutexItem = 15,
        condvarItem = 16
    };

    // Protocol markers.
    static const std::string EVENT;        // "_event_"
    static const std::string RESPONSE;     // "_response_"
    static const std::string BEGIN;        // "begin"
    static const std::string END;          // "end"
    static const std::string TALLYQ;       // "tallyq"
    static const std::string RECORDHDR;    // "_tallyq::", matched as a prefix
    static const std::string READREC;      // "_r_"
    static const std::string WRITEREC;     // "_w_"
    static const std::string ERROR;        // "_error_"
    static const std::string RPCOBJECT;    // "_rpcObj_"
    static const std::string RPCSTAT;      // "_stats_"
    static const std::string WAITERITEM;   // "_wti_"
    static const std::string BUFRITEM;     // "_bufr_"
    static const std::string MUTEXITEM;    // "_mutex_"
    static const std::string CONDVARITEM;  // "_condvar_"

    // Bounds on what one reply may hold; past them the reply is fatal.
    // MAX_REPLY bounds the reply's text, MAX_PARSED what its parsed form
    // holds on the heap: every line's map and its block, and the record
    // list, each charged as the allocator rounds it, and the text waiting to
    // be split into lines. A realistic record
    // costs about five times its text once parsed, so MAX_PARSED admits
    // replies of tens of thousands of disks or filesets, while replies built
    // to be small on the wire and large in memory (short keys, empty
    // records) stop at the same bound.
    static constexpr std::size_t MAX_LINE = 64 * 1024;
    static constexpr std::size_t MAX_REPLY = 16 * 1024 * 1024;
    static constexpr std::size_t MAX_PARSED = 48 * 1024 * 1024;
    // Which bound made a reply fatal.
    enum class Oversize { None, Text, Parsed };
    // Longest part of a stray line kept for the log.
    static constexpr std::size_t STRAY_LINE_MAX = 200;
    // A reply ends when no input comes for this long.
    static constexpr int IDLE_TIMEOUT_MS = 1000;
    // Longest time for one reply to complete, however its bytes trickle in.
    static constexpr int REPLY_DEADLINE_MS = 5000;

    TallyqResponse() = default;
    ~TallyqResponse();
    TallyqResponse(const TallyqResponse&) = delete;
    TallyqResponse& operator=(const TallyqResponse&) = delete;

    // Reads one reply from fd; never null. Bytes that follow the reply's
    // completing line in the same read are dropped (use readResponse to keep
    // them). A wait of IDLE_TIMEOUT_MS without input ends the reply, and a
    // reply still running after REPLY_DEADLINE_MS is fatal.
    static TallyqResponse* parseResponse(int fd);

    // Reads one reply from fd, first using the bytes in carry (left over from
    // the previous reply on the same descriptor) and leaving in carry the
    // bytes after this reply's completing line. Besides the idle wait, the
    // reply must be complete by deadline: a reply still running then is fatal.
    // Never null.
    static TallyqResponse* readResponse(int fd, std::string& carry, const FdIo::Deadline& deadline);

    // An empty fatal reply that passed the bound why, for a channel that
    // dropped such a reply and logged it.
    static TallyqResponse* refused(Oversize why);

    // Classifies one line (without its line feed); may set name and fill map
    // with the line's key/value pairs.
    static lineType parseLine(std::string& line, std::string& name, KeyValuesMap_t* map);

    // The first two words of a request line ("tallyq wqm fset" gives
    // "tallyq wqm"), single-spaced: what the opening line of its reply names.
    static std::string requestWords(const std::string& request);

    bool isResponse() const { return type == resp; }
    bool isEvent() const { return type == event; }
    bool isError() const { return type == error; }
    bool isEOF() const { return type == eof; }
    bool isFatal() const { return type == fatal; }
    respType getType() const { return type; }
    const std::string& getName() const { return name; }
    uint32_t getNumRecords() const { return static_cast<uint32_t>(response.size()); }
    const RecordList_t& getRecordList() const { return response; }
    // The start of the line that made the reply fatal because it is not part
    // of the protocol (a relay's own failure text); empty otherwise.
    const std::string& getStrayLine() const { return strayLine; }
    // The kind and name of the reply's opening line ("tallyq vfss"), which
    // name the request it answers (see requestWords); empty when the reply
    // had no opening line.
    const std::string& getAnswered() const { return answered; }
    // The bound a fatal reply passed, if that is what made it fatal. Such a
    // reply holds no records.
    Oversize getOversize() const { return oversize; }
    // Whether a reply refused for its size was still read to its end line,
    // so that what follows on the descriptor is the next reply.
    bool wasReadToEnd() const { return endRead; }

  private:
    friend class TallyqReplyReader;

    respType type = eof;
    std::string name;
    std::string strayLine;
    std::string answered;
    Oversize oversize = Oversize::None;
    bool endRead = false;
    RecordList_t response;
};

// Builds one reply from bytes handed in pieces of any size: the parser core
// under parseResponse, readResponse and the fuzzer. Each line is handled as
// soon as it is complete, but counts only once a piece ends with a line feed,
// as when read from a pipe: when input stops after a piece that ended
// mid-line, the reply is as the last such piece left it.
//
// Used by one thread at a time.
class TallyqReplyReader {
  public:
    TallyqReplyReader();
    ~TallyqReplyReader();
    TallyqReplyReader(const TallyqReplyReader&) = delete;
    TallyqReplyReader& operator=(const TallyqReplyReader&) = delete;

    // Takes the next bytes of the input. A reply that passes MAX_REPLY or
    // MAX_PARSED becomes fatal and empty at once, and the input is then read
    // on to the reply's end line without being kept. Once a line completes
    // the reply (or another bound is passed) complete() is true and the bytes after that line are
    // kept for takeUnused(); no more may be fed before take().
    void feed(const char* data, std::size_t len);
    bool complete() const { return done; }

    // Ends the reply because input stopped (time-out, end of input, read
    // error): bytes of an unfinished batch are dropped and the reply keeps the
    // type its lines gave it.
    void inputEnded();
    // Ends the reply as fatal (a deadline or, with why, a size bound passed).
    void fail(TallyqResponse::Oversize why = TallyqResponse::Oversize::None);

    // Hands over the reply (never null) and starts afresh for the next one.
    TallyqResponse* take();
    // The bytes that followed the completing line, for the next reply.
    std::string takeUnused();

  private:
    void handleLines();
    // Notes the reply's state at the end of a piece that ended a line.
    void checkpoint();
    // Makes the reply fatal for passing the bound why, drops what it holds,
    // and goes on reading to its end line without keeping anything.
    void refuse(TallyqResponse::Oversize why);
    // Looks for the end line in the batch, keeping only an unfinished line.
    void skipLines();
    // Handles one line; true when it completes the reply.
    bool handleLine(std::string& line);
    void commitPending();
    void dropPending();
    // The heap the reply holds so far: its parsed form and the batch of
    // text not yet split into lines.
    std::size_t heldBytes() const;
    // Replaces a part of the pending record with scratch, keeping the
    // parsed cost in step.
    void setPart(KeyValuesMap_t*& part);

    TallyqResponse* reply;
    TallyqRecord pending;               // parts owned here until appended
    KeyValuesMap_t* scratch = nullptr;  // owned
    std::string batch;                  // the last, unfinished line
    struct Checkpoint {
        std::size_t records = 0;
        TallyqResponse::respType type = TallyqResponse::eof;
        std::string name;
        std::string answered;
    } kept;  // the reply as the last piece that ended a line left it
    std::size_t textBytes = 0;          // bytes taken (see MAX_REPLY)
    std::size_t parsedBytes = 0;        // heap held by the parsed reply (see MAX_PARSED)
    bool overParsed = false;            // the record list could not grow within MAX_PARSED
    bool refused = false;               // refused for its size: skipping to the end line
    bool inLongLine = false;            // skipping the rest of an over-long line
    std::string unused;                 // bytes after the completing line
    bool done = false;
};
