#include "IpfixDecoder.h"

#include <gtest/gtest.h>

#include <sstream>

#include "IpfixTestMessages.h"

namespace {

using ipfixtest::Bytes;
using ipfixtest::MessageWriter;
using ipfixtool::IpfixDecoder;
using ipfixtool::MessageSummary;

constexpr uint32_t kTime = 1700000000;

std::vector<std::string> lines(const std::ostringstream& out) {
    std::vector<std::string> v;
    std::istringstream in(out.str());
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

std::vector<std::string> errorLines(const std::ostringstream& out) {
    std::vector<std::string> v;
    for (const std::string& l : lines(out)) {
        if (l.rfind("ERROR", 0) == 0) v.push_back(l);
    }
    return v;
}

Bytes sampleTemplatePacket(uint32_t seq = 7) {
    return ipfixtest::templatePacket(1001, 1002, ipfixtest::sampleMetrics(), kTime, seq);
}

Bytes sampleDataPacket(uint32_t records = 1, uint32_t seq = 7) {
    Bytes rows;
    for (uint32_t i = 0; i < records; ++i) {
        Bytes r = ipfixtest::sampleRecord(i);
        rows.insert(rows.end(), r.begin(), r.end());
    }
    return ipfixtest::dataPacket(1002, rows, kTime, seq);
}

TEST(IpfixDecoder, TemplatePacketOfFifteenMetrics) {
    const Bytes packet = sampleTemplatePacket();
    ASSERT_EQ(packet.size(), 76u + 56u * 15u);
    ASSERT_EQ(packet.size(), 916u);

    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    MessageSummary m = d.decodeMessage(packet.data(), packet.size());
    EXPECT_EQ(m.errors, 0u);
    EXPECT_EQ(m.version, 10u);
    EXPECT_EQ(m.length, 916u);
    EXPECT_EQ(m.exportTime, kTime);
    EXPECT_EQ(m.sequence, 7u);
    EXPECT_EQ(m.domain, 1u);
    ASSERT_EQ(m.sets.size(), 3u);
    EXPECT_EQ(m.sets[0].id, 2u);
    EXPECT_EQ(m.sets[0].length, 48u);
    EXPECT_EQ(m.sets[1].id, 1001u);
    EXPECT_EQ(m.sets[1].length, 4u + 48u * 15u);
    EXPECT_EQ(m.sets[1].records, 15u);
    EXPECT_EQ(m.sets[2].id, 2u);
    EXPECT_EQ(m.sets[2].length, 8u + 8u * 15u);

    const std::vector<std::string> expected = {
        "message conn=1 seq=7 time=1700000000 domain=1 length=916",
        "template conn=1 seq=7 id=1001 fields=5 reclen=48 "
        "specs=102:40:2,2:2:2,103:2:2,104:2:2,105:2:2",
        "set conn=1 seq=7 id=2 length=48 records=1",
        "set conn=1 seq=7 id=1001 length=724 records=15",
        "template conn=1 seq=7 id=1002 fields=15 reclen=168 "
        "specs=100:64:2,101:36:2,106:12:2,200:8:2,201:8:2,202:4:2,203:4:2,204:4:2,205:4:2,"
        "206:4:2,207:4:2,208:4:2,209:4:2,210:4:2,211:4:2",
        "set conn=1 seq=7 id=2 length=128 records=1",
    };
    EXPECT_EQ(lines(out), expected);

    ASSERT_NE(d.findTemplate(1001), nullptr);
    EXPECT_TRUE(d.findTemplate(1001)->isMetadata);
    ASSERT_NE(d.findTemplate(1002), nullptr);
    EXPECT_FALSE(d.findTemplate(1002)->isMetadata);
    EXPECT_EQ(d.findTemplate(1002)->recordLength, 168u);
    ASSERT_NE(d.findMetric(205), nullptr);
    EXPECT_EQ(d.findMetric(205)->name, "test_float");
    EXPECT_EQ(d.findMetric(205)->type, ipfixtool::DT_FLOAT_32);
    EXPECT_EQ(d.findMetric(205)->length, 4u);
    EXPECT_EQ(d.findMetric(205)->semantic, 1u);
    EXPECT_EQ(d.records(), 15u);
    EXPECT_EQ(d.errors(), 0u);
}

TEST(IpfixDecoder, DataPacketRecordsNamedFromMetadata) {
    std::ostringstream out;
    IpfixDecoder d(3, out, true);
    const Bytes tp = sampleTemplatePacket();
    d.decodeMessage(tp.data(), tp.size());
    out.str("");

    const Bytes packet = sampleDataPacket();
    ASSERT_EQ(packet.size(), 188u);
    MessageSummary m = d.decodeMessage(packet.data(), packet.size());
    EXPECT_EQ(m.errors, 0u);
    ASSERT_EQ(m.sets.size(), 1u);
    EXPECT_EQ(m.sets[0].id, 1002u);
    EXPECT_EQ(m.sets[0].length, 172u);
    EXPECT_EQ(m.sets[0].records, 1u);
    const std::vector<std::string> expected = {
        "message conn=3 seq=7 time=1700000000 domain=1 length=188",
        "record conn=3 seq=7 set=1002 n=0 node=\"node01\" sensor=\"TestSensor1\" "
        "metric_key=0x44332211000000003a000000 test_u64=72623859790382856 test_i64=-5 "
        "test_u32=4000000000 test_i32=-123456 test_centi=10000 test_float=1.5 test_a=7 "
        "test_b=8 test_c=-1 test_permil=999 test_zero=0 test_max=4294967295",
        "set conn=3 seq=7 id=1002 length=172 records=1",
    };
    EXPECT_EQ(lines(out), expected);
}

TEST(IpfixDecoder, MetadataRecordsAndUnnamedFields) {
    std::ostringstream out;
    IpfixDecoder d(1, out, true);
    MessageWriter w(kTime, 1);
    w.templateSet(1001, ipfixtest::metadataFields());
    w.dataSet(1001, ipfixtest::metadataRows({{"cpu_user", 300, ipfixtool::DT_UINT_64, 8, 2}}));
    // Field 301 has no metadata record and field 7 no enterprise number.
    w.templateSet(1002, {{300, 8, 2}, {301, 2, 2}, {7, 1, 0}});
    Bytes row;
    ipfixtest::put64(row, 42);
    ipfixtest::put16(row, 0xBEEF);
    row.push_back(0x05);
    w.dataSet(1002, row);
    const Bytes msg = w.finish();
    EXPECT_EQ(d.decodeMessage(msg.data(), msg.size()).errors, 0u);
    const std::vector<std::string> l = lines(out);
    ASSERT_EQ(l.size(), 9u);
    EXPECT_EQ(l[3],
              "record conn=1 seq=1 set=1001 n=0 metric_name=\"cpu_user\" metric_id=300 "
              "metric_type=4 metric_len=8 metric_semantic=2");
    EXPECT_EQ(l[5], "template conn=1 seq=1 id=1002 fields=3 reclen=11 specs=300:8:2,301:2:2,7:1:0");
    EXPECT_EQ(l[7], "record conn=1 seq=1 set=1002 n=0 cpu_user=42 f301=0xbeef f7@0=0x05");
}

TEST(IpfixDecoder, HeaderOnlyMessageIsValid) {
    // A virtual sensor with no rows sends the bare header.
    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    const Bytes msg = MessageWriter(kTime, 9).finish();
    ASSERT_EQ(msg.size(), 16u);
    MessageSummary m = d.decodeMessage(msg.data(), msg.size());
    EXPECT_EQ(m.errors, 0u);
    EXPECT_TRUE(m.sets.empty());
    EXPECT_EQ(lines(out),
              std::vector<std::string>{"message conn=1 seq=9 time=1700000000 domain=1 length=16"});
}

TEST(IpfixDecoder, DataRecordsFillingAWholeMessage) {
    // 655 records of 100 bytes: 65500 bytes of records, a 65520-byte message.
    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    MessageWriter t(kTime, 1);
    t.templateSet(1002, {{200, 100, 2}});
    const Bytes tm = t.finish();
    d.decodeMessage(tm.data(), tm.size());
    const Bytes msg = ipfixtest::dataPacket(1002, Bytes(65500, 0x11), kTime, 2);
    ASSERT_EQ(msg.size(), 65520u);
    MessageSummary m = d.decodeMessage(msg.data(), msg.size());
    EXPECT_EQ(m.errors, 0u);
    ASSERT_EQ(m.sets.size(), 1u);
    EXPECT_EQ(m.sets[0].records, 655u);
}

// Each row damages one message; the decoder must name the fault and go on.
struct BadMessage {
    const char* what;
    Bytes bytes;
    bool templatesFirst;  // the sample template packet is decoded before
    std::vector<std::string> errors;
};

Bytes withLength(Bytes b, uint16_t length) {
    ipfixtest::set16(b, 2, length);
    return b;
}

Bytes patched16(Bytes b, size_t at, uint16_t v) {
    ipfixtest::set16(b, at, v);
    return b;
}

Bytes truncated(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

Bytes appended(Bytes b, size_t n) {
    b.insert(b.end(), n, 0);
    ipfixtest::set16(b, 2, static_cast<uint16_t>(b.size()));
    return b;
}

Bytes oneTemplate(uint16_t id, const std::vector<ipfixtest::FieldSpec>& fields) {
    MessageWriter w(kTime, 5);
    w.templateSet(id, fields);
    return w.finish();
}

std::vector<BadMessage> badMessages() {
    const Bytes data = sampleDataPacket();
    Bytes rows167 = ipfixtest::sampleRecord(0);
    rows167.pop_back();
    MessageWriter redefined(kTime, 5);
    redefined.templateSet(1002, {{200, 8, 2}});
    MessageWriter wrongLength(kTime, 5);
    wrongLength.templateSet(1003, {{202, 8, 2}});  // metadata says 4 bytes
    MessageWriter badName(kTime, 5);
    badName.templateSet(1001, ipfixtest::metadataFields());
    Bytes longName = ipfixtest::metadataRows({{"x", 300, 3, 4, 1}});
    memset(longName.data(), 'n', 40);
    badName.dataSet(1001, longName);
    MessageWriter options(kTime, 5);
    options.dataSet(3, Bytes(8, 0));
    MessageWriter reserved(kTime, 5);
    reserved.dataSet(5, Bytes(8, 0));
    MessageWriter emptySet(kTime, 5);
    emptySet.dataSet(1002, {});
    Bytes cutEnterprise = oneTemplate(1005, {{200, 4, 2}});
    cutEnterprise.resize(cutEnterprise.size() - 2);
    cutEnterprise =
        patched16(withLength(cutEnterprise, static_cast<uint16_t>(cutEnterprise.size())), 18,
                  static_cast<uint16_t>(cutEnterprise.size() - 16));

    return {
        {"message cut short: fewer bytes than its length field",
         truncated(data, 100),
         true,
         {"ERROR conn=1 seq=7: message length field 188, but 100 bytes received"}},
        {"header announcing more bytes than follow",
         withLength(data, 200),
         true,
         {"ERROR conn=1 seq=7: message length field 200, but 188 bytes received"}},
        {"less than a message header",
         truncated(data, 10),
         true,
         {"ERROR conn=1: message of 10 bytes is shorter than the 16-byte message header"}},
        {"wrong version",
         patched16(data, 0, 9),
         true,
         {"ERROR conn=1 seq=7: version 9, expected 10"}},
        {"set running past the end of the message",
         patched16(data, 18, 200),
         true,
         {"ERROR conn=1 seq=7: set 1002 of length 200 runs past the end of the message (172 "
          "bytes left)"}},
        {"set shorter than its header",
         patched16(data, 18, 3),
         true,
         {"ERROR conn=1 seq=7: set 1002 has length 3, shorter than its 4-byte header"}},
        {"bytes after the last set",
         appended(data, 2),
         true,
         {"ERROR conn=1 seq=7: 2 bytes after the last set, less than a set header"}},
        {"data set before its template",
         data,
         false,
         {"ERROR conn=1 seq=7: data set 1002 before its template"}},
        {"set length not a whole number of records",
         ipfixtest::dataPacket(1002, rows167, kTime, 7),
         true,
         {"ERROR conn=1 seq=7: data set 1002 of length 171 is not a whole number of 168-byte "
          "records"}},
        {"data set without records",
         emptySet.finish(),
         true,
         {"ERROR conn=1 seq=5: data set 1002 holds no record"}},
        {"options template set",
         options.finish(),
         false,
         {"ERROR conn=1 seq=5: options template set not expected in this stream"}},
        {"reserved set id", reserved.finish(), false, {"ERROR conn=1 seq=5: reserved set id 5"}},
        {"template id in the reserved range",
         oneTemplate(255, {{200, 4, 2}}),
         false,
         {"ERROR conn=1 seq=5: template id 255 is below 256"}},
        {"template withdrawal",
         oneTemplate(1005, {}),
         false,
         {"ERROR conn=1 seq=5: template 1005 has no fields (a withdrawal, not expected in this "
          "stream)"}},
        {"template record longer than its set",
         patched16(oneTemplate(1005, {{200, 4, 2}}), 22, 2),
         false,
         {"ERROR conn=1 seq=5: template 1005 runs past the end of its set at field 1 of 2"}},
        {"enterprise number cut off by the set end",
         cutEnterprise,
         false,
         {"ERROR conn=1 seq=5: template 1005 runs past the end of its set in the enterprise "
          "number of field 0"}},
        {"variable-length field",
         oneTemplate(1005, {{200, 0xFFFF, 2}}),
         false,
         {"ERROR conn=1 seq=5: field 0 (200) of template 1005 is variable-length, not expected"}},
        {"zero-length field",
         oneTemplate(1005, {{200, 0, 2}}),
         false,
         {"ERROR conn=1 seq=5: field 0 (200) of template 1005 has length 0"}},
        {"record longer than any message can carry",
         oneTemplate(1005, {{200, 40000, 2}, {201, 40000, 2}}),
         false,
         {"ERROR conn=1 seq=5: template 1005 has records of 80000 bytes, more than fit into a "
          "message"}},
        {"template redefined within the connection",
         redefined.finish(),
         true,
         {"ERROR conn=1 seq=5: template 1002 redefined with different fields"}},
        {"template field length differs from its metadata",
         wrongLength.finish(),
         true,
         {"ERROR conn=1 seq=5: field 0 (202) of template 1003 has length 8, its metadata says 4"}},
        {"metric name without its NUL",
         badName.finish(),
         false,
         {"ERROR conn=1 seq=5: name of metric 300 is not NUL-terminated in its 40 bytes"}},
    };
}

TEST(IpfixDecoder, BadMessagesAreReported) {
    for (const BadMessage& row : badMessages()) {
        SCOPED_TRACE(row.what);
        std::ostringstream out;
        IpfixDecoder d(1, out, true);
        if (row.templatesFirst) {
            const Bytes tp = sampleTemplatePacket();
            d.decodeMessage(tp.data(), tp.size());
            ASSERT_EQ(d.errors(), 0u);
        }
        MessageSummary m = d.decodeMessage(row.bytes.data(), row.bytes.size());
        EXPECT_EQ(errorLines(out), row.errors);
        EXPECT_EQ(m.errors, row.errors.size());
        EXPECT_EQ(d.errors(), row.errors.size());
    }
}

TEST(IpfixDecoder, RejectedSetCountsNoRecordsAndNextSetIsRead) {
    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    const Bytes tp = sampleTemplatePacket();
    d.decodeMessage(tp.data(), tp.size());
    const uint64_t before = d.records();
    Bytes rows167 = ipfixtest::sampleRecord(0);
    rows167.pop_back();
    MessageWriter w(kTime, 5);
    w.dataSet(1002, rows167);
    w.dataSet(1002, ipfixtest::sampleRecord(1));
    const Bytes msg = w.finish();
    MessageSummary m = d.decodeMessage(msg.data(), msg.size());
    ASSERT_EQ(m.sets.size(), 2u);
    EXPECT_EQ(m.sets[0].records, 0u);
    EXPECT_EQ(m.sets[1].records, 1u);
    EXPECT_EQ(d.records(), before + 1);
}

TEST(IpfixDecoder, UnusableTemplateForgetsTheOldDefinition) {
    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    const Bytes tp = sampleTemplatePacket();
    d.decodeMessage(tp.data(), tp.size());
    const Bytes bad = oneTemplate(1002, {{200, 0xFFFF, 2}});
    d.decodeMessage(bad.data(), bad.size());
    EXPECT_EQ(d.findTemplate(1002), nullptr);
    const Bytes data = sampleDataPacket();
    out.str("");
    d.decodeMessage(data.data(), data.size());
    EXPECT_EQ(errorLines(out),
              std::vector<std::string>{"ERROR conn=1 seq=7: data set 1002 before its template"});
}

TEST(IpfixDecoder, StreamFramingByteByByte) {
    std::ostringstream out;
    IpfixDecoder d(2, out, false);
    Bytes stream = sampleTemplatePacket();
    const Bytes data = sampleDataPacket(2);
    stream.insert(stream.end(), data.begin(), data.end());
    int messages = 0;
    for (uint8_t b : stream) {
        ASSERT_GE(d.bytesWanted(), 1u);
        IpfixDecoder::Feed f = d.addBytes(&b, 1);
        ASSERT_NE(f, IpfixDecoder::Feed::Broken);
        if (f == IpfixDecoder::Feed::Message) ++messages;
    }
    d.endOfStream();
    EXPECT_EQ(messages, 2);
    EXPECT_EQ(d.messages(), 2u);
    EXPECT_EQ(d.records(), 15u + 2u);
    EXPECT_EQ(d.errors(), 0u);
}

TEST(IpfixDecoder, StreamNeverTakesMoreThanOneMessage) {
    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    Bytes stream = sampleTemplatePacket();
    const Bytes data = sampleDataPacket();
    stream.insert(stream.end(), data.begin(), data.end());
    EXPECT_EQ(d.bytesWanted(), 16u);
    EXPECT_EQ(d.addBytes(stream.data(), stream.size()), IpfixDecoder::Feed::NeedMore);
    EXPECT_EQ(d.bytesWanted(), 916u - 16u);
    EXPECT_EQ(d.addBytes(stream.data() + 16, stream.size() - 16), IpfixDecoder::Feed::Message);
    EXPECT_EQ(d.bytesWanted(), 16u);
    EXPECT_EQ(d.messages(), 1u);
}

TEST(IpfixDecoder, StreamEndingInsideAMessage) {
    {
        // The header announces 188 bytes; the connection closes after 100.
        std::ostringstream out;
        IpfixDecoder d(4, out, false);
        const Bytes data = sampleDataPacket();
        EXPECT_EQ(d.addBytes(data.data(), 16), IpfixDecoder::Feed::NeedMore);
        EXPECT_EQ(d.addBytes(data.data() + 16, 84), IpfixDecoder::Feed::NeedMore);
        d.endOfStream();
        EXPECT_EQ(errorLines(out),
                  std::vector<std::string>{"ERROR conn=4 seq=7: connection closed inside a "
                                           "message: header announces 188 bytes, 100 received"});
        EXPECT_EQ(d.messages(), 0u);
    }
    {
        std::ostringstream out;
        IpfixDecoder d(4, out, false);
        const Bytes data = sampleDataPacket();
        d.addBytes(data.data(), 5);
        d.endOfStream();
        EXPECT_EQ(errorLines(out),
                  std::vector<std::string>{
                      "ERROR conn=4: connection closed after 5 bytes of a message header"});
    }
    {
        // A clean close between messages is no error.
        std::ostringstream out;
        IpfixDecoder d(4, out, false);
        d.endOfStream();
        EXPECT_EQ(d.errors(), 0u);
    }
}

TEST(IpfixDecoder, StreamWithUnusableLengthIsBroken) {
    std::ostringstream out;
    IpfixDecoder d(1, out, false);
    const Bytes data = withLength(sampleDataPacket(), 12);
    EXPECT_EQ(d.addBytes(data.data(), data.size()), IpfixDecoder::Feed::Broken);
    EXPECT_EQ(d.bytesWanted(), 0u);
    EXPECT_EQ(d.addBytes(data.data(), data.size()), IpfixDecoder::Feed::Broken);
    EXPECT_EQ(errorLines(out),
              std::vector<std::string>{"ERROR conn=1 seq=7: message length 12 is shorter than "
                                       "the 16-byte message header; stream lost"});
}

TEST(IpfixDecoder, FormatValueByDataType) {
    using ipfixtool::formatValue;
    const uint8_t ff[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    const uint8_t big[8] = {0x80, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(formatValue(ipfixtool::DT_UINT_8, ff, 1), "255");
    EXPECT_EQ(formatValue(ipfixtool::DT_UINT_16, big, 2), "32768");
    EXPECT_EQ(formatValue(ipfixtool::DT_UINT_64, ff, 8), "18446744073709551614");
    EXPECT_EQ(formatValue(ipfixtool::DT_INT_8, ff, 1), "-1");
    EXPECT_EQ(formatValue(ipfixtool::DT_INT_16, big, 2), "-32768");
    EXPECT_EQ(formatValue(ipfixtool::DT_INT_64, ff, 8), "-2");
    EXPECT_EQ(formatValue(ipfixtool::DT_INT_64, big, 8), "-9223372036854775807");
    EXPECT_EQ(formatValue(ipfixtool::DT_FPMICRO_64, ff, 8), "-2");
    // A length that does not suit the type falls back to the raw bytes.
    EXPECT_EQ(formatValue(ipfixtool::DT_UINT_32, big, 0), "0x");
    const uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(formatValue(ipfixtool::DT_UINT_64, nine, 9), "0x010203040506070809");
    EXPECT_EQ(formatValue(ipfixtool::DT_FLOAT_32, big, 8), "0x8000000000000001");
    const uint8_t onePointFive[8] = {0x3F, 0xF8, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(formatValue(ipfixtool::DT_FLOAT_64, onePointFive, 8), "1.5");
    const uint8_t text[8] = {'a', '"', '\\', 0x01, 'b', 0, 'z', 'z'};
    EXPECT_EQ(formatValue(ipfixtool::DT_STRING, text, 8), "\"a\\\"\\\\\\x01b\"");
    EXPECT_EQ(formatValue(ipfixtool::DT_STRING, text, 2), "\"a\\\"\"");
    EXPECT_EQ(formatValue(ipfixtool::DT_METRIC_KEY_96, nine, 3), "0x010203");
}

}  // namespace
