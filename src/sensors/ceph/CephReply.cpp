#include "CephReply.h"

#include <sstream>

#include "split.h"

namespace CephReply {

void split(const std::string& text, const char* delimiters, std::vector<std::string>& out) {
    ::split(text, delimiters, out, false);
}

void parseValue(const std::string& reply, std::vector<Record>& records) {
    std::vector<std::string> lines;
    split(reply, "\n", lines);
    for (const std::string& line : lines) {
        std::vector<std::string> items;
        split(line, ",", items);
        Record record;
        for (const std::string& item : items) {
            std::vector<std::string> pieces;
            split(item, ":", pieces);
            // A key without a value would otherwise read as some other number.
            if (pieces.size() < 2) continue;
            record.emplace(pieces[0], pieces[1]);  // keeps the first occurrence
        }
        // A line without any pair (an error text, a stray word) is not a record.
        if (!record.empty()) records.push_back(std::move(record));
    }
}

uint64_t toNumber(const std::string& text) {
    // A fresh variable per value: a blank value must not inherit the number
    // read before it.
    uint64_t value = 0;
    std::istringstream in(text);
    in >> value;
    return value;
}

uint64_t numberOf(const Record& record, const char* key) {
    const auto it = record.find(key);
    return it == record.end() ? 0 : toNumber(it->second);
}

const std::string& textOf(const Record& record, const char* key) {
    static const std::string empty;
    const auto it = record.find(key);
    return it == record.end() ? empty : it->second;
}

}  // namespace CephReply
