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
    // MAX_REPLY bounds the reply's cost in memory: its bytes (parsed or
    // still waiting for a line end) plus the fixed costs below for every
    // line, key, value and record, so that short keys or empty records
    // cannot make the parsed reply many times larger than its text. The
    // charges stay above what a line costs once parsed (see KeyValuesMap:
    // an entry per key, a view per value, a NUL after each, one block and
    // the map per line), so the same replies go fatal as when every key and
    // value had nodes and strings of its own.
    static constexpr std::size_t MAX_LINE = 64 * 1024;
    static constexpr std::size_t MAX_REPLY = 16 * 1024 * 1024;
    static constexpr std::size_t LINE_COST = 32;
    static constexpr std::size_t KEY_COST = 160;
    static constexpr std::size_t VALUE_COST = 48;
    static constexpr std::size_t RECORD_COST = 160;  // a record and the map it opens
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

    // Classifies one line (without its line feed); may set name and fill map
    // with the line's key/value pairs.
    static lineType parseLine(std::string& line, std::string& name, KeyValuesMap_t* map);

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

  private:
    friend class TallyqReplyReader;

    respType type = eof;
    std::string name;
    std::string strayLine;
    RecordList_t response;
};

// Builds one reply from bytes handed in pieces of any size: the parser core
// under parseResponse, readResponse and the fuzzer. Lines are handled once a
// piece ends with a line feed, as when read from a pipe: a piece that ends
// mid-line waits for the next one.
//
// Used by one thread at a time.
class TallyqReplyReader {
  public:
    TallyqReplyReader();
    ~TallyqReplyReader();
    TallyqReplyReader(const TallyqReplyReader&) = delete;
    TallyqReplyReader& operator=(const TallyqReplyReader&) = delete;

    // Takes the next bytes of the input. Once a line completes the reply (or
    // a bound is passed) complete() is true and the bytes after that line are
    // kept for takeUnused(); no more may be fed before take().
    void feed(const char* data, std::size_t len);
    bool complete() const { return done; }

    // Ends the reply because input stopped (time-out, end of input, read
    // error): bytes of an unfinished batch are dropped and the reply keeps the
    // type its lines gave it.
    void inputEnded();
    // Ends the reply as fatal (a deadline passed).
    void fail();

    // Hands over the reply (never null) and starts afresh for the next one.
    TallyqResponse* take();
    // The bytes that followed the completing line, for the next reply.
    std::string takeUnused();

  private:
    void handleBatch();
    // Handles one line; true when it completes the reply.
    bool handleLine(std::string& line);
    void commitPending();
    void dropPending();

    TallyqResponse* reply;
    TallyqRecord pending;               // parts owned here until appended
    KeyValuesMap_t* scratch = nullptr;  // owned
    std::string batch;                  // bytes not yet split into lines
    std::size_t unfinishedAt = 0;       // start of the last, unfinished line in batch
    std::size_t replyCost = 0;          // bytes taken plus parsed costs (see MAX_REPLY)
    std::string unused;                 // bytes after the completing line
    bool done = false;
};
