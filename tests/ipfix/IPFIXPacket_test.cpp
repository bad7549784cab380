#include "IPFIXPacket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The big-endian number of n bytes at `at`.
uint32_t be(const std::vector<char>& b, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

// A template of `count` enterprise fields (8-byte specifiers) of `len` bytes.
IPFIXTemplSet templ(uint16_t id, int count, uint16_t len) {
    IPFIXTemplSet t(id);
    const FieldSpecifier f = {6000, len, 2};
    for (int i = 0; i < count; ++i) t.addElementHostByteOrder(&f);
    return t;
}

// A template set that does not fit leaves the length where it was.
TEST(IPFIXPacket, TemplateSetThatDoesNotFitIsNotCounted) {
    const IPFIXTemplSet t = templ(1234, 10, 4);
    std::vector<char> buf(IPFIXPacket::PACKET_BUFFER_LEN);
    uint32_t length = IPFIXPacket::MAX_MESSAGE_LEN - 4 - 84 + 1;
    EXPECT_FALSE(IPFIXPacket::addTemplateSet(t, buf.data(), &length));
    EXPECT_EQ(length, IPFIXPacket::MAX_MESSAGE_LEN - 4 - 84 + 1);
    --length;
    EXPECT_TRUE(IPFIXPacket::addTemplateSet(t, buf.data(), &length));
    EXPECT_EQ(length, IPFIXPacket::MAX_MESSAGE_LEN);
}

// Records go out whole, never more than MAX_CONTENT_LEN bytes to a message,
// so the 16-bit length never wraps: 8189 records of 8 bytes fill a message of
// exactly 65532 bytes, one more goes into a second message; 16379 records of
// 4 bytes would take the whole buffer but the set header. Every packet has
// the sample's export time and sequence number, and the next one continues
// at the first record left out.
TEST(IPFIXPacket, DataPacketsSplitIntoWholeRecords) {
    struct Row {
        uint16_t recordLen;
        uint32_t records;
        std::vector<uint32_t> packetLengths;
        uint16_t templLen = 0;  // when not recordLen
        bool written = true;
    } rows[] = {
        {8, 8189, {65532}},                             // exactly the room
        {8, 8190, {65532, 16 + 4 + 8}},                 // one record more
        {4, 16379, {65532, 24}},                        // all but the set header
        {10, 10000, {16 + 4 + 65510, 16 + 4 + 34490}},  // 6551 records, then the rest
        {100, 0, {16}},                                 // no records: the bare header
        {11, 10000, {}, 10, false},  // rows the template does not describe: nothing to send
    };
    for (const Row& r : rows) {
        const IPFIXTemplSet t = templ(1002, 1, r.templLen != 0 ? r.templLen : r.recordLen);
        std::string records(static_cast<size_t>(r.records) * r.recordLen, '\0');
        for (size_t i = 0; i < records.size(); ++i) records[i] = static_cast<char>(i % 251);
        const dataSet_t set = {r.records, r.recordLen, records.data()};
        std::vector<char> buf(IPFIXPacket::PACKET_BUFFER_LEN);
        std::vector<uint32_t> lengths;
        std::string carried;
        uint32_t offset = 0;
        do {
            uint32_t length = 0;
            const bool written =
                IPFIXPacket::writeDataPacket(buf.data(), 7, 3, set, t, offset, &length, &offset);
            EXPECT_EQ(written, r.written) << r.recordLen << " x " << r.records;
            if (!written) break;
            EXPECT_EQ(be(buf, 2, 2), length);
            EXPECT_EQ(be(buf, 4, 4), 7u);
            EXPECT_EQ(be(buf, 8, 4), 3u);
            if (length > 16) {
                EXPECT_EQ(be(buf, 18, 2), length - 16);
                carried.append(buf.data() + 20, length - 20);
            }
            lengths.push_back(length);
        } while (offset != 0 && lengths.size() < 5);
        EXPECT_EQ(lengths, r.packetLengths) << r.recordLen << " x " << r.records;
        EXPECT_EQ(carried, r.templLen == 0 ? records : "") << r.recordLen << " x " << r.records;
    }
}

// The template packet carries every metadata row or fails: a packet without
// them would leave the collector unable to read the data packets. 76 + 56 x k
// bytes for k metrics of 8-byte specifiers.
TEST(IPFIXPacket, TemplatePacketHoldsAllMetadataOrFails) {
    const IPFIXTemplSet meta = templ(1001, 5, 8);  // record of 40 bytes
    struct Row {
        const char* why;
        uint32_t metrics;    // metric template fields, one metadata row each
        uint32_t metaRows;   // metadata rows given
        uint16_t rowLength;  // of a metadata row
        bool written;
        uint32_t length;
    } rows[] = {
        {"fifteen metrics", 15, 15, 40, true, 16 + 4 + 44 + 4 + 15 * 40 + 4 + 4 + 15 * 8},
        {"rows longer than the template's record", 15, 15, 41, false, 0},
        {"rows shorter than the template's record", 15, 15, 39, false, 0},
        {"rows without a length", 15, 15, 0, false, 0},
        {"metadata rows beyond one message", 1, 1700, 40, false, 0},
        {"no metadata rows", 1, 0, 40, true, 16 + 4 + 44 + 4 + 4 + 8},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        const IPFIXTemplSet metrics = templ(1002, static_cast<int>(r.metrics), 4);
        const std::string metaData(static_cast<size_t>(r.metaRows) * r.rowLength, 'm');
        const dataSet_t metaSet = {r.metaRows, r.rowLength, metaData.data()};
        std::vector<char> buf(IPFIXPacket::PACKET_BUFFER_LEN);
        uint32_t length = 0;
        EXPECT_EQ(
            IPFIXPacket::writeTemplatePacket(buf.data(), 7, 3, meta, metaSet, metrics, &length),
            r.written);
        if (!r.written) continue;
        EXPECT_EQ(length, r.length);
        EXPECT_EQ(be(buf, 2, 2), r.length);
        if (r.metaRows != 0) {
            EXPECT_EQ(be(buf, 64, 2), 1001u);  // the metadata set
            EXPECT_EQ(be(buf, 66, 2), 4 + r.metaRows * r.rowLength);
        }
    }
}

}  // namespace
