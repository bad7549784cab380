// Strict decoder of the IPFIX stream the daemon exports, used by the test
// collector (ipfix_collector) and its fuzzer. It depends on nothing of the
// daemon, so that it checks the wire bytes independently of the encoder.
//
// One IpfixDecoder holds the state of one collector connection: the templates
// received on it and the metric descriptions learnt from its metadata records.
// It frames messages out of the byte stream, checks every length against the
// bytes actually there, and writes text lines to the given stream:
//
//   message conn=C seq=S time=T domain=D length=L
//   template conn=C seq=S id=I fields=F reclen=R specs=id:len:ent,...
//   record conn=C seq=S set=I n=N name=value ...          (only when asked)
//   set conn=C seq=S id=I length=L records=R
//   ERROR conn=C seq=S: text                              (seq omitted when unknown)
//
// A message line comes first; the lines of a set's templates, records and
// errors come before that set's own line, which closes it with its count.
//
// Owned and called by one thread (the connection loop, a test or the fuzzer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace ipfixtool {

// Wire layout checked here (all numbers big-endian, sets never padded):
//
//   message header, 16 bytes   0 version (10)   2 length (header included)
//                              4 export time    8 sequence    12 observation domain
//   set header, 4 bytes        0 set id (2: template set; >= 256: data set of
//                              that template)   2 set length (header included)
//   template record            0 template id    2 field count, then per field:
//                              type (top bit set: an enterprise number follows),
//                              length, [enterprise number, 4 bytes]
//
// A template packet for k metrics holds the metadata template (5 fields of
// 8 bytes), k metadata records of 48 bytes and the metric template (k fields):
// 16 + 4 + 44 + 4 + 48k + 4 + 4 + 8k = 76 + 56k bytes (916 for 15 metrics).
// A data packet with one 168-byte record is 16 + 4 + 168 = 188 bytes.
constexpr size_t kMessageHeaderLength = 16;
constexpr size_t kSetHeaderLength = 4;
constexpr uint16_t kIpfixVersion = 10;
constexpr uint16_t kTemplateSetId = 2;
constexpr uint16_t kOptionsTemplateSetId = 3;
constexpr uint16_t kFirstDataSetId = 256;
constexpr uint16_t kVariableLength = 0xFFFF;
// The largest record that fits into one message beside the two headers.
constexpr uint32_t kMaxRecordLength = 65535 - kMessageHeaderLength - kSetHeaderLength;

// Field numbers and lengths of the metadata template, whose records describe
// one metric each: name (40 bytes, NUL-terminated), number, data type,
// length and semantic.
constexpr uint32_t kMetricEnterprise = 2;
constexpr uint16_t kMetaNameField = 102;
constexpr uint16_t kMetaIdField = 2;
constexpr uint16_t kMetaTypeField = 103;
constexpr uint16_t kMetaLengthField = 104;
constexpr uint16_t kMetaSemanticField = 105;
constexpr uint16_t kMetaNameLength = 40;
constexpr uint32_t kMetadataRecordLength = 48;

// Data types a metric description names; they say how to print its bytes.
enum DataType : uint16_t {
    DT_ZERO = 0,
    DT_UINT_8 = 1,
    DT_UINT_16 = 2,
    DT_UINT_32 = 3,
    DT_UINT_64 = 4,
    DT_INT_8 = 10,
    DT_INT_16 = 11,
    DT_INT_32 = 12,
    DT_INT_64 = 13,
    DT_FPCENTI_32 = 15,
    DT_FPMICRO_64 = 16,
    DT_FLOAT_32 = 20,
    DT_FLOAT_64 = 21,
    DT_FLOAT_80 = 22,
    DT_FLOAT_128 = 23,
    DT_STRING = 30,
    DT_METRIC_KEY_96 = 40,
    DT_REPORT = 41,
    DT_PER_MIL = 42,
};

struct FieldSpec {
    uint16_t id;
    uint16_t length;
    uint32_t enterprise;  // 0 when the wire form carried none
};

struct Template {
    uint16_t id = 0;
    std::vector<FieldSpec> fields;
    uint32_t recordLength = 0;  // sum of the field lengths
    bool isMetadata = false;    // laid out as the metadata template
};

struct Metric {
    std::string name;
    uint16_t type = 0;
    uint16_t length = 0;
    uint16_t semantic = 0;
};

struct SetSummary {
    uint16_t id = 0;
    uint16_t length = 0;
    uint32_t records = 0;  // template records or data records, 0 when the set was rejected
};

struct MessageSummary {
    uint16_t version = 0;
    uint16_t length = 0;
    uint32_t exportTime = 0;
    uint32_t sequence = 0;
    uint32_t domain = 0;
    std::vector<SetSummary> sets;
    uint32_t errors = 0;
};

class IpfixDecoder {
public:
    enum class Feed {
        NeedMore,  // the current message is not complete yet
        Message,   // a message was completed and decoded
        Broken,    // the stream cannot be framed any more; close the connection
    };

    IpfixDecoder(uint32_t connection, std::ostream& out, bool printRecords);

    // Stream framing. bytesWanted() is what the current message still needs
    // (its header first, then the rest), so that a reader never takes more
    // than one message out of the socket. addBytes() takes at most that many
    // bytes (the rest of data is ignored) and decodes the message they
    // complete.
    size_t bytesWanted() const;
    Feed addBytes(const uint8_t* data, size_t length);
    // The peer closed the connection: reports a message left unfinished.
    void endOfStream();

    // Decodes exactly one message held in msg[0, length).
    MessageSummary decodeMessage(const uint8_t* msg, size_t length);

    uint64_t messages() const { return messages_; }
    uint64_t records() const { return records_; }
    uint64_t errors() const { return errors_; }
    const Template* findTemplate(uint16_t id) const;
    const Metric* findMetric(uint16_t id) const;

private:
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void decodeTemplateSet(const uint8_t* body, size_t length, SetSummary& set);
    void decodeDataSet(uint16_t id, const uint8_t* body, size_t length, SetSummary& set);
    void learnMetric(const uint8_t* record);
    void printRecord(const Template& tmpl, const uint8_t* record, uint32_t index);

    const uint32_t connection_;
    std::ostream& out_;
    const bool printRecords_;

    std::vector<uint8_t> pending_;  // bytes of the message being framed
    bool broken_ = false;
    bool inMessage_ = false;  // a sequence number is known for error lines
    uint32_t sequence_ = 0;
    uint32_t messageErrors_ = 0;

    std::map<uint16_t, Template> templates_;
    std::map<uint16_t, Metric> metrics_;  // by metric number (the field type)
    uint64_t messages_ = 0;
    uint64_t records_ = 0;
    uint64_t errors_ = 0;
};

// A field's value as text by its data type: integers read big-endian as
// unsigned or signed, strings up to their first NUL in quotes with
// non-printable bytes escaped, floats as numbers; anything else, and any value
// whose length does not suit its type, as hexadecimal bytes.
std::string formatValue(uint16_t dataType, const uint8_t* value, size_t length);

}  // namespace ipfixtool
