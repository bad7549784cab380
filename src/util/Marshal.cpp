#include "Marshal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr uint8_t CUINT_16 = 0xFB;
constexpr uint8_t CUINT_32 = 0xFC;
constexpr uint8_t CUINT_64 = 0xFD;
constexpr uint64_t CUINT_MAX_INLINE = 250;

// Memory buffers move through a small stack chunk.
constexpr size_t MEMBUF_CHUNK = 256;
// A string or blob grows by at most this much before its bytes are there.
constexpr size_t READ_CHUNK = 64 * 1024;

bool fitsU32(size_t n) { return n <= std::numeric_limits<uint32_t>::max(); }

}  // namespace

// ---- memorybuffer ----

std::streamsize memorybuffer::xsputn(const char* s, std::streamsize n) {
    if (n <= 0) return 0;
    data.insert(data.end(), s, s + n);
    return n;
}

memorybuffer::int_type memorybuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    data.push_back(traits_type::to_char_type(c));
    return c;
}

std::streamsize memorybuffer::xsgetn(char* s, std::streamsize n) {
    if (n <= 0) return 0;
    size_t take = std::min(static_cast<size_t>(n), size());
    if (take > 0) std::memcpy(s, data.data() + readPos, take);
    readPos += take;
    if (readPos == data.size()) {
        // Everything written has been read: start over so the storage
        // does not grow with the total traffic.
        data.clear();
        readPos = 0;
    }
    return static_cast<std::streamsize>(take);
}

memorybuffer::int_type memorybuffer::underflow() {
    if (size() == 0) return traits_type::eof();
    return traits_type::to_int_type(data[readPos]);
}

memorybuffer::int_type memorybuffer::uflow() {
    char c;
    if (xsgetn(&c, 1) != 1) return traits_type::eof();
    return traits_type::to_int_type(c);
}

std::streamsize memorybuffer::showmanyc() {
    return size() == 0 ? -1 : static_cast<std::streamsize>(size());
}

// ---- raw transfer ----

bool Marshal::write(const void* buf, size_t len) {
    if (streambuf == nullptr) return false;
    if (len == 0) return true;
    return streambuf->sputn(static_cast<const char*>(buf), static_cast<std::streamsize>(len)) ==
           static_cast<std::streamsize>(len);
}

bool Marshal::read(void* buf, size_t len) {
    if (streambuf == nullptr) return false;
    if (len == 0) return true;
    return streambuf->sgetn(static_cast<char*>(buf), static_cast<std::streamsize>(len)) ==
           static_cast<std::streamsize>(len);
}

bool Marshal::putBE(uint64_t v, unsigned bytes) {
    unsigned char b[8];
    for (unsigned i = 0; i < bytes; ++i)
        b[i] = static_cast<unsigned char>(v >> (8 * (bytes - 1 - i)));
    return write(b, bytes);
}

bool Marshal::getBE(uint64_t& v, unsigned bytes) {
    unsigned char b[8];
    if (!read(b, bytes)) return false;
    uint64_t r = 0;
    for (unsigned i = 0; i < bytes; ++i) r = (r << 8) | b[i];
    v = r;
    return true;
}

bool Marshal::readGrowing(std::string& out, uint64_t len) {
    if (len > out.max_size()) return false;
    out.clear();
    size_t have = 0;
    while (have < len) {
        size_t step = static_cast<size_t>(std::min<uint64_t>(len - have, READ_CHUNK));
        out.resize(have + step);
        if (!read(&out[have], step)) return false;
        have += step;
    }
    return true;
}

// ---- fixed-size values ----

bool Marshal::putBool(bool v) { return putBE(v ? 1 : 0, 1); }
bool Marshal::getBool(bool& v) {
    uint64_t r;
    if (!getBE(r, 1)) return false;
    v = r != 0;
    return true;
}

bool Marshal::putChar(char v) { return write(&v, 1); }
bool Marshal::getChar(char& v) { return read(&v, 1); }

bool Marshal::putUInt8(uint8_t v) { return putBE(v, 1); }
bool Marshal::getUInt8(uint8_t& v) {
    uint64_t r;
    if (!getBE(r, 1)) return false;
    v = static_cast<uint8_t>(r);
    return true;
}

bool Marshal::putInt16(int16_t v) { return putBE(static_cast<uint16_t>(v), 2); }
bool Marshal::getInt16(int16_t& v) {
    uint64_t r;
    if (!getBE(r, 2)) return false;
    v = static_cast<int16_t>(static_cast<uint16_t>(r));
    return true;
}

bool Marshal::putUInt16(uint16_t v) { return putBE(v, 2); }
bool Marshal::getUInt16(uint16_t& v) {
    uint64_t r;
    if (!getBE(r, 2)) return false;
    v = static_cast<uint16_t>(r);
    return true;
}

bool Marshal::putInt32(int32_t v) { return putBE(static_cast<uint32_t>(v), 4); }
bool Marshal::getInt32(int32_t& v) {
    uint64_t r;
    if (!getBE(r, 4)) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(r));
    return true;
}

bool Marshal::putUInt32(uint32_t v) { return putBE(v, 4); }
bool Marshal::getUInt32(uint32_t& v) {
    uint64_t r;
    if (!getBE(r, 4)) return false;
    v = static_cast<uint32_t>(r);
    return true;
}

bool Marshal::putInt64(int64_t v) { return putBE(static_cast<uint64_t>(v), 8); }
bool Marshal::getInt64(int64_t& v) {
    uint64_t r;
    if (!getBE(r, 8)) return false;
    v = static_cast<int64_t>(r);
    return true;
}

bool Marshal::putUInt64(uint64_t v) { return putBE(v, 8); }
bool Marshal::getUInt64(uint64_t& v) { return getBE(v, 8); }

bool Marshal::putDouble(double v) {
    static_assert(sizeof(double) == sizeof(uint64_t), "IEEE 754 double expected");
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return putBE(bits, 8);
}
bool Marshal::getDouble(double& v) {
    uint64_t bits;
    if (!getBE(bits, 8)) return false;
    std::memcpy(&v, &bits, sizeof v);
    return true;
}

bool Marshal::putRaw(const void* buf, size_t len) { return write(buf, len); }
bool Marshal::getRaw(void* buf, size_t len) { return read(buf, len); }

bool Marshal::putPointer(const void* p) {
    return putBE(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)), 8);
}
bool Marshal::getPointer(void*& p) {
    uint64_t r;
    if (!getBE(r, 8)) return false;
    p = reinterpret_cast<void*>(static_cast<uintptr_t>(r));
    return true;
}

// ---- CUInt ----

bool Marshal::putCUInt(uint64_t v) {
    if (v <= CUINT_MAX_INLINE) return putBE(v, 1);
    if (v <= 0xFFFF) return putBE(CUINT_16, 1) && putBE(v, 2);
    if (v <= 0xFFFFFFFFull) return putBE(CUINT_32, 1) && putBE(v, 4);
    return putBE(CUINT_64, 1) && putBE(v, 8);
}

bool Marshal::getCUInt(uint64_t& v) {
    uint64_t first;
    if (!getBE(first, 1)) return false;
    switch (first) {
        case CUINT_16:
            return getBE(v, 2);
        case CUINT_32:
            return getBE(v, 4);
        case CUINT_64:
            return getBE(v, 8);
        case 0xFE:
        case 0xFF:
            return false;
        default:
            v = first;
            return true;
    }
}

size_t Marshal::getMarshaledCUIntSize(uint64_t v) {
    if (v <= CUINT_MAX_INLINE) return 1;
    if (v <= 0xFFFF) return 3;
    if (v <= 0xFFFFFFFFull) return 5;
    return 9;
}

// ---- strings and blobs ----

bool Marshal::putString(const std::string& s) {
    if (!fitsU32(s.size())) return false;
    return putUInt32(static_cast<uint32_t>(s.size())) && write(s.data(), s.size());
}

bool Marshal::getString(std::string& s) {
    uint32_t len;
    return getUInt32(len) && readGrowing(s, len);
}

size_t Marshal::getStringSize(const std::string& s) { return 4 + s.size(); }

bool Marshal::putBlob(const blob_type* blob) {
    if (blob == nullptr) return false;
    if (blob->m_datalen > 0 && blob->m_dataptr == nullptr) return false;
    return putCUInt(blob->m_datalen) && write(blob->m_dataptr, blob->m_datalen);
}

bool Marshal::getBlob(blob_type* blob) {
    if (blob == nullptr) return false;
    uint64_t len;
    std::string bytes;
    if (!getCUInt(len) || !readGrowing(bytes, len)) return false;
    // malloc(0) may return null; keep a valid pointer for an empty blob.
    char* buf = static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (buf == nullptr) return false;
    if (!bytes.empty()) std::memcpy(buf, bytes.data(), bytes.size());
    blob->m_dataptr = buf;
    blob->m_datalen = bytes.size();
    return true;
}

// ---- containers ----

bool Marshal::putStringVec(const std::vector<std::string>& vec) {
    if (!fitsU32(vec.size())) return false;
    if (!putUInt32(static_cast<uint32_t>(vec.size()))) return false;
    for (const std::string& s : vec) {
        if (!putString(s)) return false;
    }
    return true;
}

bool Marshal::getStringVec(std::vector<std::string>& vec) {
    uint32_t count;
    if (!getUInt32(count)) return false;
    // Strings beyond those already held are added only once they are read.
    for (uint32_t i = 0; i < count; ++i) {
        if (i < vec.size()) {
            if (!getString(vec[i])) return false;
        } else {
            std::string s;
            if (!getString(s)) return false;
            vec.push_back(std::move(s));
        }
    }
    vec.resize(count);
    return true;
}

size_t Marshal::getVectorSize(const std::vector<std::string>& vec) {
    size_t n = 4;
    for (const std::string& s : vec) n += 4 + s.size();
    return n;
}

bool Marshal::putStringMap(const std::map<std::string, std::string>& map) {
    if (!fitsU32(map.size())) return false;
    if (!putUInt32(static_cast<uint32_t>(map.size()))) return false;
    for (const auto& kv : map) {
        if (!putString(kv.first) || !putString(kv.second)) return false;
    }
    return true;
}

bool Marshal::getStringMap(std::map<std::string, std::string>& map) {
    uint32_t count;
    if (!getUInt32(count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        std::string key, value;
        if (!getString(key) || !getString(value)) return false;
        map[key] = std::move(value);
    }
    return true;
}

size_t Marshal::getStringMapSize(const std::map<std::string, std::string>& map) {
    size_t n = 4;
    for (const auto& kv : map) n += 8 + kv.first.size() + kv.second.size();
    return n;
}

bool Marshal::putUIntSet(const std::set<unsigned int>& set) {
    if (!fitsU32(set.size())) return false;
    if (!putUInt32(static_cast<uint32_t>(set.size()))) return false;
    for (unsigned int v : set) {
        if (!putUInt32(v)) return false;
    }
    return true;
}

bool Marshal::getUIntSet(std::set<unsigned int>& set) {
    set.clear();
    uint32_t count;
    if (!getUInt32(count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t v;
        if (!getUInt32(v)) return false;
        set.insert(v);
    }
    return true;
}

size_t Marshal::getUIntSetSize(const std::set<unsigned int>& set) { return 4 + 4 * set.size(); }

// ---- memory buffers ----

bool Marshal::putMemoryBuffer(memorybuffer* mb) {
    if (mb == nullptr) return false;
    if (!putCUInt(mb->size())) return false;
    char chunk[MEMBUF_CHUNK];
    while (mb->size() > 0) {
        std::streamsize n = mb->sgetn(chunk, static_cast<std::streamsize>(sizeof chunk));
        if (n <= 0 || !write(chunk, static_cast<size_t>(n))) return false;
    }
    return true;
}

bool Marshal::getMemoryBuffer(memorybuffer* mb) {
    if (mb == nullptr || streambuf == nullptr) return false;
    uint64_t count;
    if (!getCUInt(count)) return false;
    char chunk[MEMBUF_CHUNK];
    while (count > 0) {
        std::streamsize want =
            static_cast<std::streamsize>(std::min<uint64_t>(count, sizeof chunk));
        std::streamsize n = streambuf->sgetn(chunk, want);
        if (n <= 0) return false;
        if (mb->sputn(chunk, n) != n) return false;
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

size_t Marshal::getMarshaledMemoryBufferSize(const memorybuffer* mb) {
    return getMarshaledCUIntSize(mb->size()) + mb->size();
}
