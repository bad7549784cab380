// The reply format of the Ceph relay, shared by the cluster and pool sensors:
// one record per line, items separated by ",", each item a key and a value
// separated by ":". Nothing is trimmed; keys must match exactly. Values are
// read as unsigned 64-bit numbers the way a formatted input stream reads them
// (leading blanks skipped, digits up to the first other character).
//
// Free functions without state; any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace CephReply {

// One reply line: key to value text; the first occurrence of a key wins.
typedef std::map<std::string, std::string> Record;

// Appends the non-empty tokens of text between any of the delimiter
// characters to out: leading, trailing and repeated delimiters vanish.
void split(const std::string& text, const char* delimiters, std::vector<std::string>& out);

// Appends one record per reply line that holds at least one key:value item.
// Blank lines, lines of only commas and items without a value (no colon, or
// nothing after it) add nothing; the pieces after a second colon are ignored.
void parseValue(const std::string& reply, std::vector<Record>& records);

// The number in text: 0 when it holds no digits (blank or empty included),
// the largest value beyond the 64-bit range, a leading minus sign negates
// modulo 2^64.
uint64_t toNumber(const std::string& text);

// The number under key, 0 when the record lacks it.
uint64_t numberOf(const Record& record, const char* key);

// The text under key, empty when the record lacks it.
const std::string& textOf(const Record& record, const char* key);

}  // namespace CephReply
