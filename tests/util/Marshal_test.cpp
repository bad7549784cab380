#include "Marshal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <sstream>

namespace {

using Bytes = std::string;

Bytes hex(std::initializer_list<int> b) {
    Bytes r;
    for (int c : b) r.push_back(static_cast<char>(c));
    return r;
}

// A writer over a fresh string buffer, and a reader over given bytes.
struct Out {
    std::stringbuf sb;
    Marshal m{&sb};
    Bytes bytes() const { return sb.str(); }
};
struct In {
    explicit In(const Bytes& b) : sb(b) {}
    std::stringbuf sb;
    Marshal m{&sb};
};

struct Key {
    uint32_t nodeID, metricClusterID;
    uint16_t sensorID, metricID;
};

TEST(Marshal, CUIntEncodingAtEachSizeBoundary) {
    struct Row {
        uint64_t value;
        Bytes bytes;
    } rows[] = {
        {0, hex({0x00})},
        {250, hex({0xFA})},
        {251, hex({0xFB, 0x00, 0xFB})},
        {65535, hex({0xFB, 0xFF, 0xFF})},
        {65536, hex({0xFC, 0x00, 0x01, 0x00, 0x00})},
        {0xFFFFFFFFull, hex({0xFC, 0xFF, 0xFF, 0xFF, 0xFF})},
        {0x100000000ull, hex({0xFD, 0, 0, 0, 1, 0, 0, 0, 0})},
        {~0ull, hex({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
    };
    for (const Row& r : rows) {
        Out o;
        ASSERT_TRUE(o.m.putCUInt(r.value));
        EXPECT_EQ(o.bytes(), r.bytes) << r.value;
        EXPECT_EQ(Marshal::getMarshaledCUIntSize(r.value), r.bytes.size()) << r.value;
        In in(r.bytes);
        uint64_t v = 1;
        ASSERT_TRUE(in.m.getCUInt(v));
        EXPECT_EQ(v, r.value);
    }
}

TEST(Marshal, CUIntRejectsBadFirstByteAndShortInput) {
    uint64_t v = 7;
    // 0xFE and 0xFF are not valid first bytes.
    EXPECT_FALSE(In(hex({0xFE, 0, 0})).m.getCUInt(v));
    EXPECT_FALSE(In(hex({0xFF})).m.getCUInt(v));
    // The stream ends inside the value.
    EXPECT_FALSE(In(hex({0xFB, 0x01})).m.getCUInt(v));
    EXPECT_FALSE(In(hex({0xFD, 0, 0, 0})).m.getCUInt(v));
    EXPECT_FALSE(In("").m.getCUInt(v));
    EXPECT_EQ(v, 7u);
}

TEST(Marshal, FixedWidthIntegersAreBigEndian) {
    Out o;
    ASSERT_TRUE(o.m.putUInt32(0x01020304) && o.m.putInt16(-2) && o.m.putUInt16(0xABCD) &&
                o.m.putInt64(-1) && o.m.putBool(true) && o.m.putDouble(1.5));
    EXPECT_EQ(o.bytes().substr(0, 8), hex({1, 2, 3, 4, 0xFF, 0xFE, 0xAB, 0xCD}));
    In in(o.bytes());
    uint32_t u32;
    int16_t i16;
    uint16_t u16;
    int64_t i64;
    bool b;
    double d;
    ASSERT_TRUE(in.m.getUInt32(u32) && in.m.getInt16(i16) && in.m.getUInt16(u16) &&
                in.m.getInt64(i64) && in.m.getBool(b) && in.m.getDouble(d));
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(i16, -2);
    EXPECT_EQ(u16, 0xABCD);
    EXPECT_EQ(i64, -1);
    EXPECT_TRUE(b);
    EXPECT_EQ(d, 1.5);
    EXPECT_FALSE(in.m.getUInt32(u32));
}

TEST(Marshal, MetricKeyIsTwelveBigEndianBytes) {
    Out o;
    ASSERT_TRUE(o.m.putMetricKey(Key{0x11223344, 0x55667788, 0x99AA, 0xBBCC}));
    EXPECT_EQ(o.bytes(),
              hex({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}));
    Key k{};
    In in(o.bytes());
    ASSERT_TRUE(in.m.getMetricKey(k));
    EXPECT_EQ(k.nodeID, 0x11223344u);
    EXPECT_EQ(k.metricID, 0xBBCC);
    EXPECT_FALSE(In(o.bytes().substr(0, 11)).m.getMetricKey(k));
}

TEST(Marshal, StringsAndTruncatedStrings) {
    Out o;
    ASSERT_TRUE(o.m.putString("") && o.m.putString("abc"));
    EXPECT_EQ(o.bytes(), hex({0, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c'}));
    EXPECT_EQ(Marshal::getStringSize("abc"), 7u);

    In in(o.bytes());
    std::string a = "x", b;
    ASSERT_TRUE(in.m.getString(a) && in.m.getString(b));
    EXPECT_EQ(a, "");
    EXPECT_EQ(b, "abc");

    std::string s;
    EXPECT_FALSE(In(hex({0, 0, 0, 4, 'a', 'b', 'c'})).m.getString(s));
    EXPECT_FALSE(In(hex({0, 0})).m.getString(s));
}

TEST(Marshal, BlobCarriesCUIntLengthAndCallerOwnsTheCopy) {
    std::string payload(300, 'z');
    blob_type in{payload.data(), payload.size()};
    Out o;
    ASSERT_TRUE(o.m.putBlob(&in));
    EXPECT_EQ(o.bytes().substr(0, 3), hex({0xFB, 0x01, 0x2C}));
    EXPECT_EQ(o.bytes().size(), 303u);

    blob_type out;
    In r(o.bytes());
    ASSERT_TRUE(r.m.getBlob(&out));
    ASSERT_EQ(out.m_datalen, 300u);
    EXPECT_EQ(std::string(out.m_dataptr, out.m_datalen), payload);
    std::free(const_cast<char*>(out.m_dataptr));

    // A short read leaves the blob as it was.
    blob_type untouched;
    EXPECT_FALSE(In(o.bytes().substr(0, 100)).m.getBlob(&untouched));
    EXPECT_EQ(untouched.m_dataptr, nullptr);
    EXPECT_FALSE(In(hex({0xFE})).m.getBlob(&untouched));

    blob_type empty;
    ASSERT_TRUE(In(hex({0})).m.getBlob(&empty));
    EXPECT_EQ(empty.m_datalen, 0u);
    std::free(const_cast<char*>(empty.m_dataptr));
}

// Lengths and counts come from the stream; a forged one must fail at the end
// of the data, not allocate what it announces or throw.
TEST(Marshal, ForgedLengthsFailCleanly) {
    std::string s;
    blob_type blob;
    std::vector<std::string> vec;
    std::map<std::string, std::string> map;
    std::set<unsigned int> set;
    memorybuffer mb;
    EXPECT_NO_THROW({
        EXPECT_FALSE(In(hex({0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'})).m.getString(s));
        EXPECT_FALSE(
            In(hex({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'})).m.getBlob(&blob));
        EXPECT_FALSE(
            In(hex({0xFD, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 'a'})).m.getBlob(&blob));
        EXPECT_FALSE(In(hex({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 'a'})).m.getStringVec(vec));
        EXPECT_FALSE(In(hex({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0})).m.getStringMap(map));
        EXPECT_FALSE(In(hex({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1})).m.getUIntSet(set));
        EXPECT_FALSE(In(hex({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}))
                         .m.getMemoryBuffer(&mb));
    });
    EXPECT_EQ(blob.m_dataptr, nullptr);
    EXPECT_LE(vec.size(), 1u);
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(set.size(), 1u);
}

TEST(Marshal, StringVectorResizesToTheAnnouncedCount) {
    std::vector<std::string> src = {"one", "", "three"};
    Out o;
    ASSERT_TRUE(o.m.putStringVec(src));
    EXPECT_EQ(o.bytes().size(), Marshal::getVectorSize(src));
    EXPECT_EQ(o.bytes().substr(0, 4), hex({0, 0, 0, 3}));

    std::vector<std::string> dst = {"a", "b", "c", "d", "e"};
    In in(o.bytes());
    ASSERT_TRUE(in.m.getStringVec(dst));
    EXPECT_EQ(dst, src);

    std::vector<std::string> none = {"x"};
    ASSERT_TRUE(In(hex({0, 0, 0, 0})).m.getStringVec(none));
    EXPECT_TRUE(none.empty());
}

TEST(Marshal, StringMapAddsToExistingEntries) {
    std::map<std::string, std::string> src = {{"b", "2"}, {"a", "1"}};
    Out o;
    ASSERT_TRUE(o.m.putStringMap(src));
    EXPECT_EQ(o.bytes().size(), Marshal::getStringMapSize(src));
    // Key order: "a" first.
    EXPECT_EQ(o.bytes().substr(0, 9), hex({0, 0, 0, 2, 0, 0, 0, 1, 'a'}));

    std::map<std::string, std::string> dst = {{"a", "old"}, {"keep", "me"}};
    In in(o.bytes());
    ASSERT_TRUE(in.m.getStringMap(dst));
    EXPECT_EQ(dst.size(), 3u);
    EXPECT_EQ(dst["a"], "1");
    EXPECT_EQ(dst["keep"], "me");
}

TEST(Marshal, UIntSetIsAscendingAndReplacesTheTarget) {
    Out o;
    ASSERT_TRUE(o.m.putUIntSet({300, 1}));
    EXPECT_EQ(o.bytes(), hex({0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 1, 0x2C}));
    EXPECT_EQ(Marshal::getUIntSetSize({300, 1}), 12u);
    std::set<unsigned int> dst = {7};
    // Duplicates in the stream collapse.
    ASSERT_TRUE(In(hex({0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 5})).m.getUIntSet(dst));
    EXPECT_EQ(dst, std::set<unsigned int>({5}));
}

TEST(Marshal, MemoryBufferMovesAllUnreadBytes) {
    memorybuffer src;
    std::string payload;
    for (int i = 0; i < 600; ++i) payload.push_back(static_cast<char>(i));
    src.sputn(payload.data(), static_cast<std::streamsize>(payload.size()));
    EXPECT_EQ(Marshal::getMarshaledMemoryBufferSize(&src), 603u);

    Out o;
    ASSERT_TRUE(o.m.putMemoryBuffer(&src));
    EXPECT_EQ(src.size(), 0u);
    EXPECT_EQ(o.bytes().substr(0, 3), hex({0xFB, 0x02, 0x58}));

    memorybuffer dst;
    In in(o.bytes());
    ASSERT_TRUE(in.m.getMemoryBuffer(&dst));
    ASSERT_EQ(dst.size(), 600u);
    std::string back(600, '\0');
    EXPECT_EQ(dst.sgetn(&back[0], 600), 600);
    EXPECT_EQ(back, payload);

    ASSERT_TRUE(In(hex({0})).m.getMemoryBuffer(&dst));
    EXPECT_FALSE(In(hex({3, 'a'})).m.getMemoryBuffer(&dst));
}

TEST(Marshal, PointerAndNoStreamBuffer) {
    int x;
    Out o;
    ASSERT_TRUE(o.m.putPointer(&x));
    EXPECT_EQ(o.bytes().size(), 8u);
    void* p = nullptr;
    In in(o.bytes());
    ASSERT_TRUE(in.m.getPointer(p));
    EXPECT_EQ(p, &x);

    Marshal none;
    uint32_t v;
    EXPECT_FALSE(none.putUInt32(1));
    EXPECT_FALSE(none.getUInt32(v));
    EXPECT_FALSE(none.putString(""));
}

}  // namespace
