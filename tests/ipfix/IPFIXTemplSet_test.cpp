#include "IPFIXTemplSet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

TEST(IPFIXTemplSet, IdentifiersAreHandedOutOnceInOrder) {
    IPFIXTemplSet::templIDCounter = 1000;
    EXPECT_EQ(IPFIXTemplSet::createNewTempalteID(), 1000);
    EXPECT_EQ(IPFIXTemplSet::createNewTempalteID(), 1001);
    EXPECT_EQ(IPFIXTemplSet::templIDCounter, 1002);
}

TEST(IPFIXTemplSet, EmptyTemplateSizes) {
    IPFIXTemplSet t(1234);
    EXPECT_EQ(t.getTemplateID(), 1234);
    EXPECT_EQ(t.getNumElems(), 0u);
    EXPECT_EQ(t.getTemplateMemorySize(), 4u);
    EXPECT_EQ(t.getDataSetMemorySize(), 0u);
    EXPECT_EQ(t.getElement(0), nullptr);
    EXPECT_THROW(t.getFieldID(0), std::out_of_range);
}

// One enterprise field and one plain field: sizes, wire bytes and the
// round trip through the wire form.
TEST(IPFIXTemplSet, WritesAndReadsEnterpriseAndPlainFields) {
    IPFIXTemplSet t(1001);
    const FieldSpecifier ent = {102, 40, 2};
    const FieldSpecifier plain = {7, 4, 0};
    t.addElementHostByteOrder(&ent);
    t.addElementHostByteOrder(&plain);
    EXPECT_EQ(t.getTemplateMemorySize(), 4u + 8u + 4u);
    EXPECT_EQ(t.getDataSetMemorySize(), 44u);

    std::vector<uint8_t> buf(16, 0xEE);
    ASSERT_TRUE(t.copyTemplateSetNetByteOrder(buf.data(), buf.size()));
    EXPECT_EQ(buf, bytes({0x03, 0xE9, 0x00, 0x02,                          // id 1001, 2 fields
                          0x80, 0x66, 0x00, 0x28, 0x00, 0x00, 0x00, 0x02,  // 102|0x8000, 40, ent 2
                          0x00, 0x07, 0x00, 0x04}));                       // 7, 4

    IPFIXTemplSet back(reinterpret_cast<const IPFIX_Temp*>(buf.data()));
    EXPECT_EQ(back.getTemplateID(), 1001);
    ASSERT_EQ(back.getNumElems(), 2u);
    EXPECT_EQ(back.getFieldID(0), 102);
    EXPECT_EQ(back.getFieldLen(0), 40);
    EXPECT_EQ(back.getEnterpriseID(0), 2u);
    EXPECT_EQ(back.getFieldID(1), 7);
    EXPECT_EQ(back.getFieldLen(1), 4);
    EXPECT_EQ(back.getEnterpriseID(1), 0u);
    EXPECT_EQ(*back.getElement(1), plain);
    EXPECT_EQ(back.getElement(2), nullptr);
}

TEST(IPFIXTemplSet, RefusesBufferTooSmallWithoutWriting) {
    IPFIXTemplSet t(1001);
    const FieldSpecifier ent = {5801, 8, 2};
    t.addElementHostByteOrder(&ent);
    std::vector<uint8_t> buf(12, 0xEE);
    EXPECT_FALSE(t.copyTemplateSetNetByteOrder(buf.data(), 11));
    EXPECT_EQ(buf, std::vector<uint8_t>(12, 0xEE));
    EXPECT_FALSE(t.copyTemplateSetNetByteOrder(nullptr, 100));
    EXPECT_TRUE(t.copyTemplateSetNetByteOrder(buf.data(), 12));
}

// A wire specifier keeps its enterprise number only with the enterprise bit;
// a stray number behind a plain type is dropped.
TEST(IPFIXTemplSet, NetByteOrderElements) {
    IPFIXTemplSet t(1);
    FieldSpecifier withBit = {htons(0x8000 | 300), htons(8), htonl(2)};
    FieldSpecifier withoutBit = {htons(300), htons(8), htonl(2)};
    t.addElementNetByteOrder(&withBit);
    t.addElementNetByteOrder(&withoutBit);
    EXPECT_EQ(*t.getElement(0), (FieldSpecifier{300, 8, 2}));
    EXPECT_EQ(*t.getElement(1), (FieldSpecifier{300, 8, 0}));
}

}  // namespace
