// FNV-1a over a byte range, 32 and 64 bits, one-shot and append forms.
// Each byte enters as a signed char sign-extended to the hash width, so bytes
// of 0x80 and above differ from the published FNV-1a. The values travel to
// the collectors inside metric keys and place collectors on the hash ring:
// they must never change. Thread-safe, no allocation.
#pragma once

#include <cstdint>

uint32_t FNV1AHash32(const char* data, unsigned int len);
uint32_t FNV1AHashAppend32(uint32_t h, const char* data, unsigned int len);
uint64_t FNV1AHash64(const char* data, unsigned int len);
uint64_t FNV1AHashAppend64(uint64_t h, const char* data, unsigned int len);
