// The metric keys already given out in one sample (or group), for every
// sensor that probes (DirectStat::KeyProber is this class). A key that is
// taken already moves to the next free value, one higher each time and
// wrapping at 2^32. Unlike a node-based set it keeps its storage from sample
// to sample and empties in constant time, so a steady number of rows
// allocates nothing.
//
// The records whose key moved are tallied, not logged one by one: a reply of
// thousands of equal keys would otherwise cost a log line per record, each
// different in its step count. reportCollisions, once at the end of a sample,
// logs one line for them all: the first such record's key text, how many
// moved, and the most steps one took.
//
// Finding the next free value follows "next" links: every taken key knows a
// value at or past which the search goes on, and a search shortens the links
// it walked. So k equal keys cost about k steps in all, not k squared.
//
// Belongs to one sensor; used on that sensor's own thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "Logger.h"

// Key strings joined by one blank each (an empty one too), for a
// collision's key text.
inline std::string joinKeyText(std::initializer_list<std::string_view> parts) {
    std::string text;
    bool first = true;
    for (const std::string_view part : parts) {
        if (!first) text += ' ';
        text += part;
        first = false;
    }
    return text;
}

class KeySet {
  public:
    // Forgets every key; the storage stays. The collision tally stays too, so
    // a sensor that probes per group still reports once per sample.
    void clear() {
        count = 0;
        if (++generation == 0) {
            // After 2^32 samples the marks would be mistaken for fresh ones.
            std::fill(marks.begin(), marks.end(), 0u);
            generation = 1;
        }
    }

    // The next free value from hash on, now taken. When hash itself was
    // taken the record is tallied; keyText() (returning std::string) is
    // called only for the first such record since the last report.
    template <class KeyText>
    uint32_t claim(uint32_t hash, KeyText&& keyText) {
        uint32_t key = hash;
        for (std::size_t i = find(key); i != NONE; i = find(key)) key = next[i];
        // Every value from hash up to key is taken once key is: point past it.
        for (uint32_t k = hash; k != key;) {
            const std::size_t i = find(k);
            k = next[i];
            next[i] = key + 1;
        }
        insert(key);
        if (key != hash) {
            const uint32_t steps = key - hash;
            if (collided++ == 0) firstKeyText = keyText();
            if (steps > mostSteps) mostSteps = steps;
        }
        return key;
    }

    // Logs the records tallied since the last report as one line, at Error
    // unless `level` is esInfo, and empties the tally; logs nothing when no
    // key moved.
    void reportCollisions(const Logger& log, const std::string& sensor,
                          LogNameSpace::ErrorSeverity level = LogNameSpace::esError) {
        if (collided == 0) return;
        static constexpr const char* FORMAT =
            "Hash collision in sensor %s while computing metric key for: %s (records collided: "
            "%u, most steps: %u)";
        if (level == LogNameSpace::esInfo) {
            log.logInfo(FORMAT, sensor.c_str(), firstKeyText.c_str(), collided, mostSteps);
        } else {
            log.logError(FORMAT, sensor.c_str(), firstKeyText.c_str(), collided, mostSteps);
        }
        collided = 0;
        mostSteps = 0;
        firstKeyText.clear();
    }

  private:
    static constexpr std::size_t NONE = static_cast<std::size_t>(-1);

    // Open addressing over a power-of-two table at most half full.
    std::size_t find(uint32_t key) const {
        if (keys.empty()) return NONE;
        const std::size_t mask = keys.size() - 1;
        for (std::size_t i = spread(key) & mask;; i = (i + 1) & mask) {
            if (marks[i] != generation) return NONE;
            if (keys[i] == key) return i;
        }
    }
    // key is not in the table.
    void insert(uint32_t key) {
        if ((count + 1) * 2 > keys.size()) grow();
        const std::size_t mask = keys.size() - 1;
        std::size_t i = spread(key) & mask;
        while (marks[i] == generation) i = (i + 1) & mask;
        marks[i] = generation;
        keys[i] = key;
        next[i] = key + 1;
        ++count;
    }
    // Doubles the table and moves this sample's keys and links into it.
    void grow() {
        std::vector<uint32_t> oldKeys(keys.size() < 16 ? 32 : keys.size() * 2);
        std::vector<uint32_t> oldNext(oldKeys.size());
        std::vector<uint32_t> oldMarks(oldKeys.size(), 0u);
        keys.swap(oldKeys);
        next.swap(oldNext);
        marks.swap(oldMarks);
        const std::size_t mask = keys.size() - 1;
        for (std::size_t j = 0; j < oldKeys.size(); ++j) {
            if (oldMarks[j] != generation) continue;
            std::size_t i = spread(oldKeys[j]) & mask;
            while (marks[i] == generation) i = (i + 1) & mask;
            marks[i] = generation;
            keys[i] = oldKeys[j];
            next[i] = oldNext[j];
        }
    }
    static std::size_t spread(uint32_t key) { return (key * 2654435761u) >> 7; }

    std::vector<uint32_t> keys;
    // With keys[i]: every value from keys[i] up to before next[i] is taken.
    std::vector<uint32_t> next;
    std::vector<uint32_t> marks;  // slot i holds keys[i] when marks[i] == generation
    std::size_t count = 0;
    uint32_t generation = 1;

    // The collision tally since the last report.
    uint32_t collided = 0;
    uint32_t mostSteps = 0;
    std::string firstKeyText;
};
