#include "RowWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "FNV1AHash.h"

namespace {

// Two key strings, so the key hash chains over both.
constexpr MetricsMetadata TABLE[] = {
    ROW_HEADER_NODE,
    ROW_HEADER_SENSOR,
    {"test_cluster", 5901, DT_STRING, 16, SEMTYPE_IDENTIFIER},
    {"test_item", 5902, DT_STRING, 8, SEMTYPE_IDENTIFIER},
    ROW_HEADER_METRIC_KEY,
    {"test_u64", 5903, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"test_u32", 5904, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"test_u16", 5905, DT_UINT_16, 2, SEMTYPE_QUANTITY},
    {"test_u8", 5906, DT_UINT_8, 1, SEMTYPE_QUANTITY},
};
constexpr uint32_t N = sizeof TABLE / sizeof TABLE[0];
static_assert(columnOffset(TABLE, 4) == 124, "");

std::vector<unsigned char> bytes(const char* p, size_t n) {
    return std::vector<unsigned char>(p, p + n);
}

TEST(RowWriter, LaysOutColumnsByTheTable) {
    RowWriter w(TABLE, N);
    EXPECT_EQ(w.rowLength(), 64u + 36 + 16 + 8 + 12 + 8 + 4 + 2 + 1);
    EXPECT_EQ(w.offset(2), 100u);
    EXPECT_EQ(w.offset(5), 136u);
    EXPECT_EQ(w.width(3), 8u);

    std::vector<char> row(w.rowLength(), 'x');
    w.putNumber(row.data(), 5, 0x0102030405060708ull);
    w.putNumber(row.data(), 6, 0x1122334455ull);  // cut to the width
    w.putNumber(row.data(), 7, 0xABCD);
    w.putNumber(row.data(), 8, 0x1FF);
    EXPECT_EQ(bytes(row.data() + 136, 15),
              (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8, 0x22, 0x33, 0x44, 0x55, 0xAB,
                                          0xCD, 0xFF}));
}

TEST(RowWriter, StringsAreCutAndNulPadded) {
    RowWriter w(TABLE, N);
    std::vector<char> row(w.rowLength(), 'x');
    w.putString(row.data(), 3, "abcdefghij");
    EXPECT_EQ(std::string(row.data() + 116, 8), std::string("abcdefg\0", 8));
    w.putString(row.data(), 3, "ab");
    EXPECT_EQ(std::string(row.data() + 116, 8), std::string("ab\0\0\0\0\0\0", 8));
    // Text that is not NUL-terminated, and text with a NUL inside it.
    w.putString(row.data(), 3, std::string_view("abcdef", 3));
    EXPECT_EQ(std::string(row.data() + 116, 8), std::string("abc\0\0\0\0\0", 8));
    w.putString(row.data(), 3, std::string_view("a\0cd", 4));
    EXPECT_EQ(std::string(row.data() + 116, 8), std::string("a\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(row[124], 'x') << "the next column is untouched";
}

TEST(RowWriter, KeyHashesTheKeyStringsWhole) {
    RowWriter w(TABLE, N);
    std::vector<char> row(w.rowLength(), 'x');
    w.putString(row.data(), 2, "cluster1");
    w.putString(row.data(), 3, "item");
    w.putKeyFor(row.data(), 0xAABBCCDD, 42);

    char cluster[16] = "cluster1";
    char item[8] = "item";
    const uint32_t h = FNV1AHashAppend32(FNV1AHash32(cluster, 16), item, 8);
    MetricKey key;
    std::memcpy(&key, row.data() + 124, sizeof key);
    EXPECT_EQ(key, (MetricKey{0xAABBCCDD, h, 42, 0}));
    EXPECT_EQ(bytes(row.data() + 124, 4), (std::vector<unsigned char>{0xDD, 0xCC, 0xBB, 0xAA}))
        << "host byte order";

    // A table without key strings has metricClusterID 0.
    const MetricsMetadata plain[] = {ROW_HEADER_NODE, ROW_HEADER_SENSOR, ROW_HEADER_METRIC_KEY};
    RowWriter p(plain, 3);
    std::vector<char> r(p.rowLength(), 'x');
    EXPECT_EQ(p.keyStringHash(r.data()), 0u);
}

TEST(RowWriter, CentiValuesAreCutTowardZeroAndClamped) {
    EXPECT_EQ(cutToCenti(10000.5), 10000u);
    EXPECT_EQ(cutToCenti(0.999), 0u);
    EXPECT_EQ(cutToCenti(-3.0), 0u);
    EXPECT_EQ(cutToCenti(std::nan("")), 0u);
    EXPECT_EQ(cutToCenti(4294967294.9), 4294967294u);
    EXPECT_EQ(cutToCenti(1e12), 0xFFFFFFFFu);
    EXPECT_EQ(cutToCenti(HUGE_VAL), 0xFFFFFFFFu);
}

}  // namespace
