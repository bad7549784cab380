// Record storage of the capacity sensors: one array of fixed-size records per
// data set, reallocated only when the number of records changes, and zeroed
// before every sample. Owned by one sensor, used on its own thread; freed with
// the sensor, since the controller may read the last sample's rows until then.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

#include "definitions.h"

template <class T>
class RecordArray {
  public:
    // Holds exactly `count` zeroed records and points `set` at them.
    T* prepare(std::size_t count, dataSet_t& set) {
        if (records && allocated != count) records.reset();
        if (!records) {
            records.reset(new T[count]);
            allocated = count;
        }
        std::memset(static_cast<void*>(records.get()), 0, count * sizeof(T));
        set.data = reinterpret_cast<const char*>(records.get());
        return records.get();
    }
    T* get() const { return records.get(); }
    std::size_t size() const { return allocated; }

  private:
    std::unique_ptr<T[]> records;
    std::size_t allocated = 0;
};
