// Key/value pairs of one statistics reply line and the typed getters that the
// statistics sensors read them with.
//
// A line's remainder (after its first token) is a run of keys, each followed
// by its values; a token that begins with "_" always starts the next key. The
// getters turn one key's values into numbers for the sensors' IPFIX rows, so
// every integer they hand back is in network byte order and every time is in
// microseconds.
//
// Free functions without state; any thread may call them. The maps belong to
// whoever built them (a TallyqResponse for parsed replies); the getters only
// read them. Complaints go to the caller's logger at debug level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Logger.h"

class KeyValuesMap;
typedef KeyValuesMap KeyValuesMap_t;

// The keys of one line, each with its values as text, iterated in key order.
//
// A reply holds thousands of lines of some 25 keys each, so a map keeps them
// flat: one block of memory holds the entries (sorted by key), the views of
// the values and the text, every key and value NUL-terminated. A line costs
// one allocation however many keys it has. The views handed out point into
// the block and stay valid while the map lives and is not assigned to or
// added to; moving a map hands its block over, views included. Several
// threads may read one map; building it is its owner's business.
class KeyValuesMap {
  public:
    // The values of one key, in line order.
    class Values {
      public:
        typedef const std::string_view* const_iterator;
        std::size_t size() const { return count; }
        bool empty() const { return count == 0; }
        const std::string_view& operator[](std::size_t i) const { return first[i]; }
        const_iterator begin() const { return first; }
        const_iterator end() const { return first + count; }

      private:
        friend class KeyValuesMap;
        const std::string_view* first = nullptr;
        std::size_t count = 0;
    };
    // Named as std::map's elements are: first the key, second its values.
    struct Entry {
        std::string_view first;
        Values second;
    };
    typedef const Entry* const_iterator;

    KeyValuesMap() = default;
    KeyValuesMap(std::initializer_list<std::pair<std::string, std::vector<std::string>>> pairs);
    KeyValuesMap(const KeyValuesMap& other);
    KeyValuesMap(KeyValuesMap&& other) noexcept;
    KeyValuesMap& operator=(const KeyValuesMap& other);
    KeyValuesMap& operator=(KeyValuesMap&& other) noexcept;

    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    const_iterator begin() const { return entries; }
    const_iterator end() const { return entries + count; }
    // The entry of key, or end().
    const_iterator find(std::string_view key) const;
    void clear();
    // Bytes of the one block the map holds (0 for an empty map), what it
    // costs beyond the map object itself.
    std::size_t blockBytes() const;

    bool operator==(const KeyValuesMap& other) const;
    bool operator!=(const KeyValuesMap& other) const { return !(*this == other); }

    // A value as found in outside text; closeQuote appends a "'".
    struct Piece {
        std::string_view text;
        bool closeQuote;
    };
    // A key with pieces[first, first + count) as its values.
    struct KeyPieces {
        std::string_view key;
        std::size_t first;
        std::size_t count;
    };
    // Adds the keys in order; a key seen again, here or in the map already,
    // replaces its earlier values.
    void add(const KeyPieces* keys, std::size_t nKeys, const Piece* pieces);

  private:
    std::unique_ptr<char[]> block;
    const Entry* entries = nullptr;
    std::size_t count = 0;
};

// Longest quoted value (without its quotes) that parseKeyValue keeps.
constexpr std::size_t MAX_QUOTED_VALUE = 255;

// Reads key/value pairs from in (positioned after a line's first token) into
// map. A key seen again replaces its earlier values. Returns 1 when at least
// one key was stored, else 0. Reads the stream to its end.
int parseKeyValue(std::istream& in, KeyValuesMap_t* map);
// The same for the text of a line from position pos on.
int parseKeyValue(const std::string& text, std::size_t pos, KeyValuesMap_t* map);

// The next token of text at or after pos, separated by white space as
// formatted extraction separates them; pos moves past it. False at the end.
bool nextToken(const std::string& text, std::size_t& pos, std::string& token);

// Seconds as whole microseconds, rounded half up: (u64)(s * 1000000 + 0.5).
// Negative seconds and NaN give 0; +infinity and anything at or above 2^64
// microseconds give 2^64 - 1. Host byte order.
uint64_t secondsToMicros(double seconds);

// The getters. map may be null (a record part the reply did not hold);
// context names the map in messages ("main", "read", ...).

// The key's single value (owned by the map), or null.
const char* getValue(const KeyValuesMap_t* map, const std::string& key, const Logger& log,
                     const char* context);
// All values of the key, whatever their number, or null when map or key is missing.
const KeyValuesMap::Values* getValues(const KeyValuesMap_t* map, const std::string& key,
                                      const Logger& log, const char* context);

// Single values: out is 0 unless the lookup succeeds. Integers in network order.
bool getDouble(const KeyValuesMap_t* map, const std::string& key, double& out, const Logger& log,
               const char* context);
bool getInt16(const KeyValuesMap_t* map, const std::string& key, uint16_t& out, const Logger& log,
              const char* context);
bool getInt32(const KeyValuesMap_t* map, const std::string& key, uint32_t& out, const Logger& log,
              const char* context);
bool getInt64(const KeyValuesMap_t* map, const std::string& key, uint64_t& out, const Logger& log,
              const char* context);

// Pairs and quads: exactly 2 or 4 values, else false with the outputs untouched.
// Times are read as seconds and handed back as microseconds, network order.
bool getIIPair(const KeyValuesMap_t* map, const std::string& key, uint32_t& first, uint32_t& second,
               const Logger& log, const char* context);
bool getIFPair(const KeyValuesMap_t* map, const std::string& key, uint32_t& count, uint64_t& micros,
               const Logger& log, const char* context);
bool getIFFFQuad(const KeyValuesMap_t* map, const std::string& key, uint32_t& count,
                 uint64_t& micros1, uint64_t& micros2, uint64_t& micros3, const Logger& log,
                 const char* context);

// The first n values as u64 in network order; further values are ignored.
// On any failure (no map, no key, fewer than n values) all n entries are 0.
bool getInt64Array(const KeyValuesMap_t* map, const std::string& key, uint64_t* out, uint32_t n,
                   const Logger& log, const char* context);
