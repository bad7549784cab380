// Binary min-heap of (id, value) entries with an id-to-index map, so that an
// entry can be removed by its id in O(log n). Entry 0 is the least by `Compare`;
// the children of entry i are 2i+1 and 2i+2.
//
// Not thread-safe: owned and used by one thread (the timer list of the
// controller or of an actor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

template <typename T, typename Compare>
class Heap {
  public:
    Heap() : objID(1) {}

    bool empty() const { return heap.empty(); }
    size_t size() const { return heap.size(); }
    bool contains(uint64_t id) const { return idMap.count(id) != 0; }

    // Inserts under a new id and returns it. Ids start at 1 and are never reused.
    uint64_t push(const T& value) {
        uint64_t id = objID++;
        pushWithId(id, value);
        return id;
    }

    // Inserts under an id the caller already holds (a re-armed timer keeps
    // its id). The id must not be in the heap.
    void pushWithId(uint64_t id, const T& value) {
        heap.emplace_back(id, value);
        idMap[id] = static_cast<uint32_t>(heap.size() - 1);
        bubbleUp(heap.size() - 1);
    }

    // The least entry; only on a non-empty heap.
    const T& top() const { return heap.front().second; }
    uint64_t topId() const { return heap.front().first; }
    void pop() { removeInternal(0); }

    // Removes the entry with that id; an unknown id is ignored.
    bool remove(uint64_t id) {
        auto it = idMap.find(id);
        if (it == idMap.end()) return false;
        removeInternal(it->second);
        return true;
    }

    void clear() {
        heap.clear();
        idMap.clear();
    }

  private:
    bool before(size_t i, size_t j) const { return comp(heap[i].second, heap[j].second); }

    void swap(size_t i, size_t j) {
        std::swap(heap[i], heap[j]);
        idMap[heap[i].first] = static_cast<uint32_t>(i);
        idMap[heap[j].first] = static_cast<uint32_t>(j);
    }

    void bubbleUp(size_t i) {
        while (i > 0) {
            size_t parent = (i - 1) / 2;
            if (!before(i, parent)) break;
            swap(i, parent);
            i = parent;
        }
    }

    void bubbleDown(size_t i) {
        for (;;) {
            size_t best = i;
            size_t left = 2 * i + 1;
            size_t right = left + 1;
            if (left < heap.size() && before(left, best)) best = left;
            if (right < heap.size() && before(right, best)) best = right;
            if (best == i) return;
            swap(i, best);
            i = best;
        }
    }

    void removeInternal(size_t i) {
        size_t last = heap.size() - 1;
        if (i != last) swap(i, last);
        idMap.erase(heap[last].first);
        heap.pop_back();
        if (i >= heap.size()) return;
        if (i > 0 && before(i, (i - 1) / 2))
            bubbleUp(i);
        else
            bubbleDown(i);
    }

    std::vector<std::pair<uint64_t, T>> heap;
    std::unordered_map<uint64_t, uint32_t> idMap;  // exact through every move
    Compare comp;
    uint64_t objID;  // next id to hand out
};
