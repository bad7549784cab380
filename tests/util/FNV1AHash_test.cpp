#include "FNV1AHash.h"

#include <gtest/gtest.h>

namespace {

TEST(FNV1AHash, ReferenceValues) {
    EXPECT_EQ(FNV1AHash32("abc", 3), 0x1A47E90Bu);
    EXPECT_EQ(FNV1AHash64("abc", 3), 0xE71FA2190541574Bull);
    // High bytes are sign-extended before the XOR, unlike the published hash.
    const char e9 = static_cast<char>(0xE9);
    EXPECT_EQ(FNV1AHash32(&e9, 1), 0xEBF38B44u);
    EXPECT_EQ(FNV1AHash64(&e9, 1), 0x509C33B379FE2EA4ull);
}

TEST(FNV1AHash, EmptyInputAndAppend) {
    EXPECT_EQ(FNV1AHash32("", 0), 0x811C9DC5u);
    EXPECT_EQ(FNV1AHash64("", 0), 0xCBF29CE484222325ull);
    EXPECT_EQ(FNV1AHashAppend32(1234u, "x", 0), 1234u);
    EXPECT_EQ(FNV1AHashAppend64(1234u, "x", 0), 1234u);
    EXPECT_EQ(FNV1AHashAppend32(FNV1AHash32("ab", 2), "c", 1), FNV1AHash32("abc", 3));
    EXPECT_EQ(FNV1AHashAppend64(FNV1AHash64("ab", 2), "c", 1), FNV1AHash64("abc", 3));
    // NUL bytes are hashed, they do not end the input.
    EXPECT_NE(FNV1AHash32("a\0", 2), FNV1AHash32("a", 1));
}

}  // namespace
