// The report model that reads a top-process report field back: a ranked list
// of processes with their CPU and memory shares over one interval. It parses a
// field, builds a field from the model, aggregates several reports into one,
// prints, and serialises itself with the marshalling encoder.
//
// Plain values; no thread-safety of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "IPFIXTopProc.h"
#include "Marshal.h"

struct TopkItem {
    uint32_t id = 0;  // process identifier
    std::string name;
    uint32_t cpu = 0;
    uint32_t mem = 0;

    bool marshal(Marshal* m) const;
    bool unmarshal(Marshal* m);
};

// Orders item pointers by CPU, larger first.
struct TopkItemGreater {
    bool operator()(const TopkItem* a, const TopkItem* b) const { return a->cpu > b->cpu; }
};

class TopkReport {
  public:
    std::vector<TopkItem>& getTopk() { return items; }
    const std::vector<TopkItem>& getTopk() const { return items; }
    uint32_t getInterval() const { return interval; }
    void setInterval(uint32_t value) { interval = value; }

    // Replaces the contents by the whole 28-byte records of a report field
    // (trailing bytes are ignored). 0 on success; -1 for a name without
    // terminator or records that disagree on the interval, leaving the report
    // partly filled.
    int parse(const void* field, size_t length);

    // Builds a report field (big-endian records) in a new malloc'ed buffer that
    // the caller releases with free(). Names are cut to 15 characters, CPU and
    // memory to their low 16 bits.
    void newIPFIXReport(blob_type* out) const;

    bool marshal(Marshal* m) const;
    bool unmarshal(Marshal* m);

  private:
    friend void aggregateTopkReports(std::vector<TopkReport>& reports, TopkReport& out);

    uint32_t interval = 0;
    std::vector<TopkItem> items;
};

// Merges the reports into `out` and empties `reports`. With two or more, `out`
// receives the processes of highest summed CPU (at most as many as the longest
// report holds), CPU and memory averaged over all reports, and the sum of the
// intervals is added to its own; with one, `out` becomes a copy of it.
void aggregateTopkReports(std::vector<TopkReport>& reports, TopkReport& out);

std::ostream& operator<<(std::ostream& os, const TopkItem& item);
std::ostream& operator<<(std::ostream& os, const TopkReport& report);
