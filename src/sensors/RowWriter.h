// Writes data rows laid out by a sensor's metric table, so that no sensor
// keeps row offsets in step with its table by hand.
//
// A RowWriter is built once per virtual sensor from the constant metric table
// and is then only read; it does not own the rows it writes into. Columns are
// addressed by their index in the table. Numbers are written big-endian in the
// column's width, text is cut to width - 1 characters and NUL-padded (as
// AbstractSensor::safeStrncpy does), and the metric key is copied unconverted.
//
// Row header of every table: node (64), sensor (36), the key strings, if any,
// then the 12-byte metric key. The key hash covers the key strings whole, NUL
// padding included, so every string column must be written before it.
#pragma once

#include <endian.h>

#include <cassert>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "FNV1AHash.h"
#include "definitions.h"

// Offset of `column` in a row laid out by `table`: for static_asserts that tie
// a sensor's named columns to its table.
constexpr uint32_t columnOffset(const MetricsMetadata* table, uint32_t column) {
    return rowLength(table, 0, column);
}

// `value` x 100 + 0.5 for a DT_FPCENTI_32 field, computed by the caller in
// double precision in the order its metric defines; this cuts it toward zero.
// Values the field cannot hold are clamped (NaN and negatives to 0) rather
// than converted with undefined behaviour.
inline uint32_t cutToCenti(double scaledPlusHalf) {
    if (!(scaledPlusHalf > 0.0)) return 0;
    if (scaledPlusHalf >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(scaledPlusHalf);
}

class RowWriter {
  public:
    // Lays rows out by the `count` metrics of `table`.
    RowWriter(const MetricsMetadata* table, uint32_t count) : columns(table, table + count) {
        offsets.reserve(count);
        uint32_t at = 0;
        for (uint32_t i = 0; i < count; ++i) {
            offsets.push_back(at);
            at += table[i].metricLen;
            if (table[i].metricID == METRIC_ID_METRIC_KEY) keyColumn = i;
        }
        length = at;
        // Key strings sit between the sensor column and the metric key.
        for (uint32_t i = 2; i < keyColumn && i < count; ++i) {
            if (table[i].metricType == DT_STRING) keyStrings.push_back(i);
        }
    }

    uint32_t rowLength() const { return length; }
    uint32_t numColumns() const { return static_cast<uint32_t>(columns.size()); }
    uint32_t offset(uint32_t column) const { return offsets[column]; }
    uint16_t width(uint32_t column) const { return columns[column].metricLen; }

    // A DT_STRING column from a NUL-terminated text.
    void putString(char* row, uint32_t column, const char* text) const {
        putString(row, column, std::string_view(text, std::strlen(text)));
    }
    // A DT_STRING column from text that need not be NUL-terminated; the text
    // ends at its first NUL, as it would for strncpy.
    void putString(char* row, uint32_t column, std::string_view text) const {
        assert(columns[column].metricType == DT_STRING);
        char* field = row + offsets[column];
        const size_t w = columns[column].metricLen;
        if (w == 0) return;
        size_t n = text.size() < w - 1 ? text.size() : w - 1;
        const void* nul = std::memchr(text.data(), '\0', n);
        if (nul != nullptr) n = static_cast<const char*>(nul) - text.data();
        std::memcpy(field, text.data(), n);
        std::memset(field + n, 0, w - n);
    }
    // A copy of a field that already has the column's width (the node name
    // filled once by getNodeID).
    void putField(char* row, uint32_t column, const char* field) const {
        std::memcpy(row + offsets[column], field, columns[column].metricLen);
    }

    // An integer column of 1, 2, 4 or 8 bytes, big-endian; the value is cut
    // to the column's width.
    void putNumber(char* row, uint32_t column, uint64_t value) const {
        char* field = row + offsets[column];
        switch (columns[column].metricLen) {
            case 8: {
                const uint64_t be = htobe64(value);
                std::memcpy(field, &be, 8);
                break;
            }
            case 4: {
                const uint32_t be = htobe32(static_cast<uint32_t>(value));
                std::memcpy(field, &be, 4);
                break;
            }
            case 2: {
                const uint16_t be = htobe16(static_cast<uint16_t>(value));
                std::memcpy(field, &be, 2);
                break;
            }
            case 1:
                *field = static_cast<char>(value);
                break;
            default:
                assert(!"numeric column of unsupported width");
        }
    }

    // The metric key column, in host byte order.
    void putKey(char* row, const MetricKey& key) const {
        assert(keyColumn < columns.size());
        writeMetricKey(row + offsets[keyColumn], key);
    }
    // metricClusterID of a row: FNV-1a over its key-string columns, each over
    // its whole width; 0 for a table without key strings.
    uint32_t keyStringHash(const char* row) const {
        if (keyStrings.empty()) return 0;
        uint32_t h = FNV1AHash32(row + offsets[keyStrings[0]], columns[keyStrings[0]].metricLen);
        for (size_t i = 1; i < keyStrings.size(); ++i) {
            const uint32_t c = keyStrings[i];
            h = FNV1AHashAppend32(h, row + offsets[c], columns[c].metricLen);
        }
        return h;
    }
    // Writes the key of a row whose string columns are already written.
    void putKeyFor(char* row, uint32_t nodeID, uint16_t sensorID) const {
        putKey(row, MetricKey{nodeID, keyStringHash(row), sensorID, 0});
    }

  private:
    std::vector<MetricsMetadata> columns;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> keyStrings;
    uint32_t keyColumn = UINT32_MAX;
    uint32_t length = 0;
};
