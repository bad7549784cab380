#include "md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hexDigest(const std::string& data) {
    unsigned char d[MD5_DIGEST_LENGTH];
    md5(data.data(), data.size(), d);
    std::string hex;
    char b[3];
    for (unsigned char c : d) {
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    return hex;
}

TEST(Md5, PublishedVectorsAndPaddingLimits) {
    const struct {
        std::string data;
        const char* digest;
    } rows[] = {
        // The test suite of RFC 1321, A.5.
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // 55 bytes still fit the length into the last block, 56 need another
        // block, 64 are a whole block followed by a block of padding only.
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    };
    for (const auto& r : rows) EXPECT_EQ(hexDigest(r.data), r.digest) << r.data.size() << " bytes";
}

}  // namespace
