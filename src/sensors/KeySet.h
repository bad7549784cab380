// The metric keys already given out in one sample (or group), for every
// sensor that probes (DirectStat::KeyProber is this class). A key that is
// taken already moves to the next free value, one higher each time and
// wrapping at 2^32; the caller's callable hears once how many steps that took.
// Unlike a node-based set it keeps its storage from sample to sample and
// empties in constant time, so a steady number of rows allocates nothing.
//
// Finding the next free value follows "next" links: every taken key knows a
// value at or past which the search goes on, and a search shortens the links
// it walked. So k equal keys cost about k steps in all, not k squared.
//
// Belongs to one sensor; used on that sensor's own thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

class KeySet {
  public:
    // Forgets every key; the storage stays.
    void clear() {
        count = 0;
        if (++generation == 0) {
            // After 2^32 samples the marks would be mistaken for fresh ones.
            std::fill(marks.begin(), marks.end(), 0u);
            generation = 1;
        }
    }

    // The next free value from hash on, now taken. report(steps) is called
    // once, and only when hash itself was taken.
    template <class Report>
    uint32_t claim(uint32_t hash, Report&& report) {
        uint32_t key = hash;
        for (std::size_t i = find(key); i != NONE; i = find(key)) key = next[i];
        // Every value from hash up to key is taken once key is: point past it.
        for (uint32_t k = hash; k != key;) {
            const std::size_t i = find(k);
            k = next[i];
            next[i] = key + 1;
        }
        insert(key);
        if (key != hash) report(static_cast<uint32_t>(key - hash));
        return key;
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
};
