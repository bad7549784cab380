#include "md5.h"

#include <cstring>

namespace {

// Per-step left rotations and the sine-derived constants of RFC 1321, 3.4.
constexpr uint8_t SHIFT[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t SINE[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// Words are assembled byte by byte: no unaligned or type-punned loads, and
// the same result on any byte order.
void transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t m[16];
    for (unsigned i = 0; i < 16; ++i) {
        m[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<uint32_t>(block[4 * i + 2]) << 16 |
               static_cast<uint32_t>(block[4 * i + 3]) << 24;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    // One round per loop, so that the round's function and message index need
    // no test inside the step.
    auto step = [&](uint32_t f, unsigned i, unsigned g) {
        const uint32_t rotated = rotl(a + f + SINE[i] + m[g], SHIFT[i]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    };
    for (unsigned i = 0; i < 16; ++i) step((b & c) | (~b & d), i, i);
    for (unsigned i = 16; i < 32; ++i) step((d & b) | (~d & c), i, (5 * i + 1) % 16);
    for (unsigned i = 32; i < 48; ++i) step(b ^ c ^ d, i, (3 * i + 5) % 16);
    for (unsigned i = 48; i < 64; ++i) step(c ^ (b | ~d), i, (7 * i) % 16);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5(const void* data, std::size_t length, unsigned char digest[MD5_DIGEST_LENGTH]) {
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::size_t left = length;
    for (; left >= 64; left -= 64, p += 64) transform(state, p);

    // Padding: 0x80, zeros up to 56 mod 64, then the bit length as 64 bits
    // little-endian. 56 or more bytes left need a second block.
    unsigned char tail[128] = {};
    if (left > 0) std::memcpy(tail, p, left);
    tail[left] = 0x80;
    const std::size_t tailLength = left < 56 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(length) * 8u;
    for (unsigned i = 0; i < 8; ++i)
        tail[tailLength - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    transform(state, tail);
    if (tailLength == 128) transform(state, tail + 64);

    for (unsigned i = 0; i < 4; ++i) {
        for (unsigned j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(state[i] >> (8 * j));
    }
}
