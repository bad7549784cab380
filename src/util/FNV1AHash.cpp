#include "FNV1AHash.h"

uint32_t FNV1AHashAppend32(uint32_t h, const char* data, unsigned int len) {
    const signed char* p = reinterpret_cast<const signed char*>(data);
    for (unsigned int i = 0; i < len; ++i) {
        h ^= static_cast<uint32_t>(static_cast<int32_t>(p[i]));
        h *= 16777619u;
    }
    return h;
}

uint32_t FNV1AHash32(const char* data, unsigned int len) {
    return FNV1AHashAppend32(0x811C9DC5u, data, len);
}

uint64_t FNV1AHashAppend64(uint64_t h, const char* data, unsigned int len) {
    const signed char* p = reinterpret_cast<const signed char*>(data);
    for (unsigned int i = 0; i < len; ++i) {
        h ^= static_cast<uint64_t>(static_cast<int64_t>(p[i]));
        h *= 0x100000001B3ull;
    }
    return h;
}

uint64_t FNV1AHash64(const char* data, unsigned int len) {
    return FNV1AHashAppend64(0xCBF29CE484222325ull, data, len);
}
