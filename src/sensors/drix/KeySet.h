// The metric keys already given out in one sample, for the statistics sensors
// with many rows (disks, filesystems, pools, WQM filesets). Same contract as
// DirectStat::KeyProber: a key that is taken already moves to the next free
// value, one higher each time and wrapping at 2^32, and each collision is
// reported through the caller's callable. Unlike a node-based set it keeps
// its storage from sample to sample and empties in constant time, so a
// steady number of rows allocates nothing.
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

    template <class Report>
    uint32_t claim(uint32_t hash, Report&& report) {
        while (!insert(hash)) {
            report();
            ++hash;
        }
        return hash;
    }

  private:
    // Open addressing over a power-of-two table at most half full.
    bool insert(uint32_t key) {
        if ((count + 1) * 2 > keys.size()) grow();
        const std::size_t mask = keys.size() - 1;
        for (std::size_t i = spread(key) & mask;; i = (i + 1) & mask) {
            if (marks[i] != generation) {
                marks[i] = generation;
                keys[i] = key;
                ++count;
                return true;
            }
            if (keys[i] == key) return false;
        }
    }
    // Doubles the table and moves this sample's keys into it.
    void grow() {
        std::vector<uint32_t> oldKeys(keys.size() < 16 ? 32 : keys.size() * 2);
        std::vector<uint32_t> oldMarks(oldKeys.size(), 0u);
        keys.swap(oldKeys);
        marks.swap(oldMarks);
        const std::size_t mask = keys.size() - 1;
        for (std::size_t j = 0; j < oldKeys.size(); ++j) {
            if (oldMarks[j] != generation) continue;
            std::size_t i = spread(oldKeys[j]) & mask;
            while (marks[i] == generation) i = (i + 1) & mask;
            marks[i] = generation;
            keys[i] = oldKeys[j];
        }
    }
    static std::size_t spread(uint32_t key) { return (key * 2654435761u) >> 7; }

    std::vector<uint32_t> keys;
    std::vector<uint32_t> marks;  // slot i holds keys[i] when marks[i] == generation
    std::size_t count = 0;
    uint32_t generation = 1;
};
