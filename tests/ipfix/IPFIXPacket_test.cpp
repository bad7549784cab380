#include "IPFIXPacket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

uint16_t u16(const std::vector<char>& b, size_t at) {
    uint16_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return ntohs(v);
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

TEST(IPFIXPacket, AddDataSetContinuesAtTheReturnedOffset) {
    const IPFIXTemplSet t = templ(1234, 1, 10);
    std::string rows(10 * 10000, 'r');
    const dataSet_t set = {10000, 10, rows.data()};
    std::vector<char> buf(IPFIXPacket::PACKET_BUFFER_LEN);
    uint32_t length = 16;
    EXPECT_EQ(IPFIXPacket::addDataSet(&set, 0, t, buf.data(), &length), 65510u);
    EXPECT_EQ(length, 16u + 4u + 65510u);
    length = 16;
    EXPECT_EQ(IPFIXPacket::addDataSet(&set, 65510, t, buf.data(), &length), 0u);
    EXPECT_EQ(length, 16u + 4u + 34490u);
    // Rows that do not match the template are not read at all.
    const dataSet_t wrong = {10000, 11, rows.data()};
    length = 16;
    EXPECT_EQ(IPFIXPacket::addDataSet(&wrong, 0, t, buf.data(), &length), 0u);
    EXPECT_EQ(length, 16u);
}

// A template packet is 76 + 56 x k bytes for k metrics, metadata rows of 48
// bytes included; one that cannot be one message is refused.
TEST(IPFIXPacket, TemplatePacketSizes) {
    IPFIXTemplSet meta(1001);  // a name of 40 bytes and four 2-byte fields
    for (uint16_t len : {40, 2, 2, 2, 2}) {
        const FieldSpecifier f = {6000, len, 2};
        meta.addElementHostByteOrder(&f);
    }
    struct Row {
        int metrics;
        bool fits;
        uint32_t length;
    } rows[] = {{1, true, 76 + 56}, {15, true, 916}, {1200, false, 0}};
    for (const Row& r : rows) {
        const IPFIXTemplSet t = templ(1002, r.metrics, 4);
        const std::string metaRows(static_cast<size_t>(r.metrics) * 48, 'm');
        const dataSet_t metaSet = {static_cast<uint32_t>(r.metrics), 48, metaRows.data()};
        std::vector<char> buf(IPFIXPacket::PACKET_BUFFER_LEN);
        uint32_t length = 0;
        EXPECT_EQ(IPFIXPacket::writeTemplatePacket(buf.data(), 7, 3, meta, metaSet, t, &length),
                  r.fits)
            << r.metrics;
        if (r.fits) {
            EXPECT_EQ(u16(buf, 2), r.length) << r.metrics;
        }
    }
}

// Records go out whole, never more than MAX_CONTENT_LEN bytes to a message,
// so the 16-bit length never wraps: 8189 records of 8 bytes fill a message of
// exactly 65532 bytes, one more goes into a second message; 16379 records of
// 4 bytes would take the whole buffer but the set header.
TEST(IPFIXPacket, DataPacketsSplitIntoWholeRecords) {
    struct Row {
        uint16_t recordLen;
        uint32_t records;
        std::vector<uint32_t> packetLengths;
    } rows[] = {
        {8, 8189, {65532}},
        {8, 8190, {65532, 16 + 4 + 8}},
        {4, 16379, {65532, 24}},
        {100, 1000, {65520, 34520}},
        {100, 0, {16}},  // no records: the bare header
    };
    for (const Row& r : rows) {
        const IPFIXTemplSet t = templ(1002, 1, r.recordLen);
        std::string records(static_cast<size_t>(r.records) * r.recordLen, '\0');
        for (size_t i = 0; i < records.size(); ++i) records[i] = static_cast<char>(i % 251);
        const dataSet_t set = {r.records, r.recordLen, records.data()};
        std::vector<char> buf(IPFIXPacket::PACKET_BUFFER_LEN);
        std::vector<uint32_t> lengths;
        std::string carried;
        uint32_t offset = 0;
        do {
            uint32_t length = 0;
            offset = IPFIXPacket::writeDataPacket(buf.data(), 7, 3, set, t, offset, &length);
            EXPECT_EQ(u16(buf, 2), length);
            if (length > 16) {
                EXPECT_EQ(u16(buf, 18), length - 16);
                carried.append(buf.data() + 20, length - 20);
            }
            lengths.push_back(length);
        } while (offset != 0 && lengths.size() < 5);
        EXPECT_EQ(lengths, r.packetLengths) << r.recordLen << " x " << r.records;
        EXPECT_EQ(carried, records) << r.recordLen << " x " << r.records;
    }
}

}  // namespace
