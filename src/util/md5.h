// MD5 message digest (RFC 1321). Places collectors on the hash ring, so its
// output must match the published algorithm bit for bit. Pure function,
// thread-safe, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t MD5_DIGEST_LENGTH = 16;

// Fills digest with the 16 digest bytes of data[0, length), in the standard
// order (the order of the usual hexadecimal rendering).
void md5(const void* data, std::size_t length, unsigned char digest[MD5_DIGEST_LENGTH]);
