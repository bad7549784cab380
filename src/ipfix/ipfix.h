// IPFIX (RFC 7011) definitions shared by the sensors and the export code.
#pragma once

#include <cstddef>
#include <cstdint>

// The enterprise number under which every field this system defines is
// exported.
constexpr uint32_t VELMAR_ENTERPRISE_ID = 2;

// Field types of the metadata template, which describes a sensor's metric
// table row by row: name, metric number, data type, length, semantic. Field
// type 2 is reused for the metric number.
constexpr uint16_t META_FIELD_METRIC_NAME = 102;
constexpr uint16_t META_FIELD_METRIC_ID = 2;
constexpr uint16_t META_FIELD_METRIC_TYPE = 103;
constexpr uint16_t META_FIELD_METRIC_LEN = 104;
constexpr uint16_t META_FIELD_METRIC_SEMANTIC = 105;

// An IPFIX field specifier as held in memory, host order. On the wire a
// specifier with an enterprise number is 8 bytes (type | 0x8000, length,
// enterprise), one without is 4 bytes.
struct FieldSpecifier {
    uint16_t fieldType;      // information element; for metrics the metricID
    uint16_t fieldLen;       // bytes
    uint32_t enterprise_id;  // 0 = none
};

static_assert(sizeof(FieldSpecifier) == 8, "");
static_assert(offsetof(FieldSpecifier, fieldType) == 0, "");
static_assert(offsetof(FieldSpecifier, fieldLen) == 2, "");
static_assert(offsetof(FieldSpecifier, enterprise_id) == 4, "");

inline bool operator==(const FieldSpecifier& a, const FieldSpecifier& b) {
    return a.fieldType == b.fieldType && a.fieldLen == b.fieldLen &&
           a.enterprise_id == b.enterprise_id;
}
inline bool operator!=(const FieldSpecifier& a, const FieldSpecifier& b) { return !(a == b); }
