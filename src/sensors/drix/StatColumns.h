// Compile-time building blocks of the statistics sensors' metric tables.
//
// A per-node table is the three header rows followed by one row per reply
// field. Where a family's names follow a rule (a prefix, an operation word and
// a suffix), the table is generated from the word list, so the rule is written
// once. Everything here is constexpr: the tables are constant data, built
// before any thread runs, and a name longer than 39 characters stops the
// build instead of being cut.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "RowWriter.h"
#include "definitions.h"

namespace StatColumns {

// One metric of a row and the main-part key of the reply that fills it.
struct Column {
    const char* key;
    MetricsMetadata meta;
};

// The name a + b + c in a metric row.
constexpr MetricsMetadata metric(const char* a, const char* b, const char* c, uint16_t id,
                                 uint16_t type, uint16_t len, uint16_t semantic) {
    MetricsMetadata m{};
    std::size_t n = 0;
    for (const char* part : {a, b, c}) {
        for (; *part != '\0'; ++part) {
            if (n + 1 >= METRIC_NAME_LEN) throw "metric name longer than 39 characters";
            m.metricName[n++] = *part;
        }
    }
    m.metricID = id;
    m.metricType = type;
    m.metricLen = len;
    m.metricSemantic = semantic;
    return m;
}

constexpr MetricsMetadata metric(const char* name, uint16_t id, uint16_t type, uint16_t len,
                                 uint16_t semantic) {
    return metric(name, "", "", id, type, len, semantic);
}

// Width in bytes of each integer type the per-node rows use.
constexpr uint16_t widthOf(uint16_t type) {
    return type == DT_UINT_16 ? 2 : type == DT_UINT_32 ? 4 : 8;
}

constexpr Column column(const char* key, const char* name, uint16_t id, uint16_t type,
                        uint16_t semantic) {
    return Column{key, metric(name, id, type, widthOf(type), semantic)};
}

constexpr uint32_t NODE_HEADER_ROWS = 3;

// The per-node table of a column list: node, sensor, metric key, then the
// columns in order.
// The header rows alone, to be followed by generated rows.
template <std::size_t N>
constexpr std::array<MetricsMetadata, N> nodeHeader() {
    std::array<MetricsMetadata, N> t{};
    t[0] = ROW_HEADER_NODE;
    t[1] = ROW_HEADER_SENSOR;
    t[2] = ROW_HEADER_METRIC_KEY;
    return t;
}

template <std::size_t N>
constexpr std::array<MetricsMetadata, N + NODE_HEADER_ROWS> nodeTable(const Column (&cols)[N]) {
    auto t = nodeHeader<N + NODE_HEADER_ROWS>();
    for (std::size_t i = 0; i < N; ++i) t[NODE_HEADER_ROWS + i] = cols[i].meta;
    return t;
}
template <std::size_t N>
constexpr std::array<MetricsMetadata, N + NODE_HEADER_ROWS> nodeTable(
    const std::array<Column, N>& cols) {
    auto t = nodeHeader<N + NODE_HEADER_ROWS>();
    for (std::size_t i = 0; i < N; ++i) t[NODE_HEADER_ROWS + i] = cols[i].meta;
    return t;
}

}  // namespace StatColumns
