// Hand-built IPFIX messages for the tests of the collector tools: written
// byte by byte from the wire layout, independently of the daemon's encoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "IpfixDecoder.h"

namespace ipfixtest {

using Bytes = std::vector<uint8_t>;
using ipfixtool::FieldSpec;

inline void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

inline void put64(Bytes& b, uint64_t v) {
    put32(b, static_cast<uint32_t>(v >> 32));
    put32(b, static_cast<uint32_t>(v));
}

inline void set16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// Fixed-width text field: the characters, then NUL up to the width.
inline void putText(Bytes& b, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
}

// One message: header, then sets appended in order; finish() writes the length.
class MessageWriter {
public:
    MessageWriter(uint32_t exportTime, uint32_t sequence, uint32_t domain = 1) {
        put16(bytes, 10);
        put16(bytes, 0);
        put32(bytes, exportTime);
        put32(bytes, sequence);
        put32(bytes, domain);
    }

    // A template set holding one template record.
    void templateSet(uint16_t id, const std::vector<FieldSpec>& fields) {
        const size_t start = bytes.size();
        put16(bytes, 2);
        put16(bytes, 0);
        put16(bytes, id);
        put16(bytes, static_cast<uint16_t>(fields.size()));
        for (const FieldSpec& f : fields) {
            if (f.enterprise) {
                put16(bytes, f.id | 0x8000);
                put16(bytes, f.length);
                put32(bytes, f.enterprise);
            } else {
                put16(bytes, f.id & 0x7FFF);
                put16(bytes, f.length);
            }
        }
        set16(bytes, start + 2, static_cast<uint16_t>(bytes.size() - start));
    }

    void dataSet(uint16_t id, const Bytes& records) {
        put16(bytes, id);
        put16(bytes, static_cast<uint16_t>(records.size() + 4));
        bytes.insert(bytes.end(), records.begin(), records.end());
    }

    Bytes finish() {
        set16(bytes, 2, static_cast<uint16_t>(bytes.size()));
        return bytes;
    }

    Bytes bytes;
};

struct MetricDef {
    const char* name;
    uint16_t id;
    uint16_t type;
    uint16_t length;
    uint16_t semantic;
};

inline std::vector<FieldSpec> metadataFields() {
    return {{102, 40, 2}, {2, 2, 2}, {103, 2, 2}, {104, 2, 2}, {105, 2, 2}};
}

inline std::vector<FieldSpec> metricFields(const std::vector<MetricDef>& metrics) {
    std::vector<FieldSpec> f;
    for (const MetricDef& m : metrics) f.push_back({m.id, m.length, 2});
    return f;
}

// The 48-byte metadata record of each metric, back to back.
inline Bytes metadataRows(const std::vector<MetricDef>& metrics) {
    Bytes b;
    for (const MetricDef& m : metrics) {
        putText(b, m.name, 40);
        put16(b, m.id);
        put16(b, m.type);
        put16(b, m.length);
        put16(b, m.semantic);
    }
    return b;
}

// Template packet of one virtual sensor: the metadata template, its records
// for the given metrics and the metric template.
inline Bytes templatePacket(uint16_t metaId, uint16_t metricId,
                            const std::vector<MetricDef>& metrics, uint32_t exportTime,
                            uint32_t sequence) {
    MessageWriter w(exportTime, sequence);
    w.templateSet(metaId, metadataFields());
    w.dataSet(metaId, metadataRows(metrics));
    w.templateSet(metricId, metricFields(metrics));
    return w.finish();
}

inline Bytes dataPacket(uint16_t metricId, const Bytes& records, uint32_t exportTime,
                        uint32_t sequence) {
    MessageWriter w(exportTime, sequence);
    w.dataSet(metricId, records);
    return w.finish();
}

// A sensor of 15 metrics whose records are 168 bytes long: the three row
// header columns (112 bytes) and twelve numbers of every integer kind.
inline std::vector<MetricDef> sampleMetrics() {
    return {
        {"node", 100, ipfixtool::DT_STRING, 64, 3},
        {"sensor", 101, ipfixtool::DT_STRING, 36, 3},
        {"metric_key", 106, ipfixtool::DT_METRIC_KEY_96, 12, 4},
        {"test_u64", 200, ipfixtool::DT_UINT_64, 8, 2},
        {"test_i64", 201, ipfixtool::DT_INT_64, 8, 1},
        {"test_u32", 202, ipfixtool::DT_UINT_32, 4, 1},
        {"test_i32", 203, ipfixtool::DT_INT_32, 4, 1},
        {"test_centi", 204, ipfixtool::DT_FPCENTI_32, 4, 1},
        {"test_float", 205, ipfixtool::DT_FLOAT_32, 4, 1},
        {"test_a", 206, ipfixtool::DT_UINT_32, 4, 2},
        {"test_b", 207, ipfixtool::DT_UINT_32, 4, 2},
        {"test_c", 208, ipfixtool::DT_INT_32, 4, 1},
        {"test_permil", 209, ipfixtool::DT_PER_MIL, 4, 1},
        {"test_zero", 210, ipfixtool::DT_UINT_32, 4, 1},
        {"test_max", 211, ipfixtool::DT_UINT_32, 4, 2},
    };
}

constexpr size_t kSampleRecordLength = 168;

// One record of the sample sensor; `n` varies test_u32 so records differ.
inline Bytes sampleRecord(uint32_t n) {
    Bytes b;
    putText(b, "node01", 64);
    putText(b, "TestSensor1", 36);
    // The metric key travels in host order (little-endian here).
    const uint8_t key[12] = {0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 58, 0, 0, 0};
    b.insert(b.end(), key, key + 12);
    put64(b, 0x0102030405060708ull);
    put64(b, static_cast<uint64_t>(-5));
    put32(b, 4000000000u + n);
    put32(b, static_cast<uint32_t>(-123456));
    put32(b, 10000);
    put32(b, 0x3FC00000u);  // 1.5f
    put32(b, 7);
    put32(b, 8);
    put32(b, 0xFFFFFFFFu);
    put32(b, 999);
    put32(b, 0);
    put32(b, 0xFFFFFFFFu);
    return b;
}

}  // namespace ipfixtest
