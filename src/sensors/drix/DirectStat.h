// Pieces shared by the statistics sensors that send their own requests
// (built on StatChannelSensor rather than on a reply-parsing statistics
// base): the channel held from init to shutdown, the checks every reply goes
// through, the three ways of keeping rows from one sample to the next, and
// the probing of metric-key collisions. They are helpers, not a further base
// class, because each of these sensors combines them differently (one or two
// groups, one or two requests, a node name or a cluster name).
//
// Every object here belongs to one sensor and is used only on that sensor's
// own thread.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KeySet.h"
#include "Logger.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"
#include "definitions.h"

class TallyqStub;

namespace DirectStat {

// The statistics channel of one sensor: the shared channel, taken by
// acquire (init) and given back once by release (shutdown), or a query seam
// that answers instead (tests, fuzzer, benchmark).
class Channel {
  public:
    // Borrowed; set before acquire. The shared channel is then never taken.
    void setQuery(TallyqQuery* seam) { query = seam; }
    // True when requests can be sent.
    bool acquire();
    // Gives the shared channel back; a second call gives back nothing.
    void release();
    bool available() const { return query != nullptr || stub != nullptr; }
    // The reply to request, owned by the caller; null without a channel or a
    // reply.
    TallyqResponse* execute(const std::string& request);

  private:
    TallyqStub* stub = nullptr;
    TallyqQuery* query = nullptr;
    bool released = false;
};

// One sample's request and checks: without a channel, without a reply, with
// an error reply, a reply without records or a first record whose "_rc_" is
// not 0 the sample fails (edge-triggered message, sourceOK cleared) and the
// result is null. Otherwise sourceOK is set, "Resumed reporting." is logged
// after a failed sample, and the reply is handed back. The caller still
// copies sourceOK into sourcePrevOK at the end of the sample.
std::unique_ptr<TallyqResponse> fetch(Channel& channel, const std::string& request,
                                      const Logger& log, bool& sourceOK, bool sourcePrevOK);

// (u64)(seconds x 1000000 + 0.5), big-endian, for a DT_FPMICRO_64 field.
uint64_t microsBE(double seconds);

// Rows appended one by one; clear keeps the capacity, so a steady number of
// rows allocates nothing after the first samples.
template <class Row>
class AppendedRows {
  public:
    void reserve(std::size_t n) { rows.reserve(n); }
    void clear() { rows.clear(); }
    void append(const Row& row) { rows.push_back(row); }
    std::size_t size() const { return rows.size(); }
    // Points set at the rows (data null when there are none).
    void publish(dataSet_t& set) const {
        set.numSets = static_cast<uint32_t>(rows.size());
        set.setLength = sizeof(Row);
        set.data = rows.empty() ? nullptr : reinterpret_cast<const char*>(rows.data());
    }

  private:
    std::vector<Row> rows;
};

// One array of rows, allocated anew only when the number of rows differs
// from the number allocated, so that a steady row count reuses it.
template <class Row>
class CountedRows {
  public:
    CountedRows() = default;
    CountedRows(const CountedRows&) = delete;
    CountedRows& operator=(const CountedRows&) = delete;
    ~CountedRows() { release(); }

    // An array of exactly n rows, zeroed; null for 0 rows.
    Row* resize(uint32_t n) {
        if (rows == nullptr || n != allocated) {
            release();
            if (n == 0) return nullptr;
            rows = static_cast<Row*>(std::calloc(n, sizeof(Row)));
            if (rows == nullptr) return nullptr;
            allocated = n;
        } else {
            std::memset(static_cast<void*>(rows), 0, sizeof(Row) * n);
        }
        return rows;
    }
    void release() {
        std::free(rows);
        rows = nullptr;
        allocated = 0;
    }
    Row* data() const { return rows; }
    uint32_t allocatedCount() const { return allocated; }

  private:
    Row* rows = nullptr;
    uint32_t allocated = 0;
};

// One row per group, refilled by every sample and reported or held back.
template <class Row>
struct FixedRow {
    Row row{};
    void publish(dataSet_t& set, bool present) const {
        set.setLength = sizeof(Row);
        set.data = reinterpret_cast<const char*>(&row);
        set.numSets = present ? 1 : 0;
    }
};

// The metric keys already given out in one sample (or group): one prober
// serves every statistics sensor that probes (see KeySet.h).
using KeyProber = KeySet;

}  // namespace DirectStat
