// Compact, machine-independent encoding of values onto a byte stream. Every
// multi-byte number is big-endian; CUInt is the variable-length unsigned form
// (1, 3, 5 or 9 bytes); strings, blobs and containers carry their length or
// count in front:
//
//   CUInt   v <= 250: [v]   <= 0xFFFF: [FB][2]   <= 0xFFFFFFFF: [FC][4]   else [FD][8]
//   String  [u32 length][bytes]               Blob       [CUInt length][bytes]
//   StrVec  [u32 count][String]...            StrMap     [u32 count]([String key][String value])...
//   UIntSet [u32 count][u32]... ascending     MetricKey  [u32 node][u32 cluster][u16 sensor][u16
//   metric]
//
// A Marshal borrows the stream buffer it works on; the caller owns it. Every
// put and get returns true only when every byte of the value moved; on false
// the stream stays wherever the failing transfer left it.
//
// Lengths and counts read from a stream are not trusted: readers grow their
// result only as bytes actually arrive, so a forged length makes the read fail
// at the stream's end instead of allocating what the stream never backs.
//
// A Marshal has no locking; it belongs to whoever holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

// Bytes with their count. A blob filled by Marshal::getBlob owns a buffer
// from malloc that the caller releases with free().
struct blob_type {
    const char* m_dataptr = nullptr;
    size_t m_datalen = 0;
};

// An in-memory byte stream: writes append, reads consume from the front.
// size() is the number of bytes written and not yet read.
class memorybuffer : public std::streambuf {
  public:
    size_t size() const { return data.size() - readPos; }

  protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int_type overflow(int_type c) override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize showmanyc() override;

  private:
    std::vector<char> data;
    size_t readPos = 0;
};

class Marshal {
  public:
    explicit Marshal(std::streambuf* sb = nullptr) : streambuf(sb) {}

    void setStreamBuf(std::streambuf* sb) { streambuf = sb; }
    std::streambuf* rdbuf() const { return streambuf; }

    bool putBool(bool v);
    bool getBool(bool& v);
    bool putChar(char v);
    bool getChar(char& v);
    bool putUInt8(uint8_t v);
    bool getUInt8(uint8_t& v);
    bool putInt16(int16_t v);
    bool getInt16(int16_t& v);
    bool putUInt16(uint16_t v);
    bool getUInt16(uint16_t& v);
    bool putInt32(int32_t v);
    bool getInt32(int32_t& v);
    bool putUInt32(uint32_t v);
    bool getUInt32(uint32_t& v);
    bool putInt64(int64_t v);
    bool getInt64(int64_t& v);
    bool putUInt64(uint64_t v);
    bool getUInt64(uint64_t& v);
    // The IEEE 754 bit pattern as a big-endian u64.
    bool putDouble(double v);
    bool getDouble(double& v);
    // Bytes as they are, without a length.
    bool putRaw(const void* buf, size_t len);
    bool getRaw(void* buf, size_t len);

    bool putCUInt(uint64_t v);
    bool getCUInt(uint64_t& v);

    bool putString(const std::string& s);
    bool getString(std::string& s);

    bool putBlob(const blob_type* blob);
    // On success the blob receives a new malloc'ed buffer the caller frees;
    // on failure the blob is left as it was.
    bool getBlob(blob_type* blob);

    bool putStringVec(const std::vector<std::string>& vec);
    // Reads into the existing strings in place and leaves exactly the
    // announced number of strings when it succeeds.
    bool getStringVec(std::vector<std::string>& vec);

    bool putStringMap(const std::map<std::string, std::string>& map);
    // Adds to the map (replacing values of keys already present); it is not
    // emptied first.
    bool getStringMap(std::map<std::string, std::string>& map);

    bool putUIntSet(const std::set<unsigned int>& set);
    // Empties the set first.
    bool getUIntSet(std::set<unsigned int>& set);

    // The pointer's value; meaningful only inside one process.
    bool putPointer(const void* p);
    bool getPointer(void*& p);

    // Moves all unread bytes out of mb, behind their count.
    bool putMemoryBuffer(memorybuffer* mb);
    // Appends the announced number of bytes to mb.
    bool getMemoryBuffer(memorybuffer* mb);

    // Works on any record with the MetricKey fields; the record itself is
    // declared with the IPFIX definitions, above this layer.
    template <class Key>
    bool putMetricKey(const Key& key) {
        return putUInt32(key.nodeID) && putUInt32(key.metricClusterID) && putUInt16(key.sensorID) &&
               putUInt16(key.metricID);
    }
    template <class Key>
    bool getMetricKey(Key& key) {
        return getUInt32(key.nodeID) && getUInt32(key.metricClusterID) && getUInt16(key.sensorID) &&
               getUInt16(key.metricID);
    }

    // Sizes of encodings, without writing.
    static size_t getMarshaledCUIntSize(uint64_t v);
    static size_t getMarshaledMemoryBufferSize(const memorybuffer* mb);
    static size_t getStringSize(const std::string& s);
    static size_t getVectorSize(const std::vector<std::string>& vec);
    static size_t getStringMapSize(const std::map<std::string, std::string>& map);
    static size_t getUIntSetSize(const std::set<unsigned int>& set);

  private:
    bool write(const void* buf, size_t len);
    bool read(void* buf, size_t len);
    bool putBE(uint64_t v, unsigned bytes);
    bool getBE(uint64_t& v, unsigned bytes);
    // Reads len bytes into out, growing it chunk by chunk as bytes arrive.
    bool readGrowing(std::string& out, uint64_t len);

    std::streambuf* streambuf;
};
