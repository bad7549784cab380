// The top-process record that fills a top-process report field
// (DT_REPORT, SEMTYPE_REPORT), its byte-order conversions, and the bounded
// ranking the top-process sensors use to pick the records.
//
// A report field is a run of 28-byte records, all numbers big-endian:
//
//   offset  size  field
//        0    16  procName     NUL-terminated within the 16 bytes, NUL-padded
//       16     4  pid
//       20     2  totCPUpm     CPU share, per mille
//       22     2  resMempm     resident memory share, per mille
//       24     4  repInterval  length of the observed interval (same in every record)
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>

constexpr size_t TOPPROC_NAME_LEN = 16;
constexpr size_t TOPPROC_REPORT_ITEMS = 10;

struct IPFIXTopProcType {
    char procName[TOPPROC_NAME_LEN];
    uint32_t pid;
    uint16_t totCPUpm;
    uint16_t resMempm;
    uint32_t repInterval;
};

static_assert(sizeof(IPFIXTopProcType) == 28, "a top-process record is 28 bytes");
static_assert(offsetof(IPFIXTopProcType, procName) == 0, "");
static_assert(offsetof(IPFIXTopProcType, pid) == 16, "");
static_assert(offsetof(IPFIXTopProcType, totCPUpm) == 20, "");
static_assert(offsetof(IPFIXTopProcType, resMempm) == 22, "");
static_assert(offsetof(IPFIXTopProcType, repInterval) == 24, "");

// The report field of the top-process sensors: ten records.
typedef IPFIXTopProcType topReport_t[TOPPROC_REPORT_ITEMS];

// dst may be src: the name is copied with memmove semantics and the numbers
// are read before they are written.
inline void ipfixTopProcToNet(IPFIXTopProcType& dst, const IPFIXTopProcType& src) {
    const uint32_t pid = src.pid, interval = src.repInterval;
    const uint16_t cpu = src.totCPUpm, mem = src.resMempm;
    std::memmove(dst.procName, src.procName, TOPPROC_NAME_LEN);
    dst.pid = htonl(pid);
    dst.totCPUpm = htons(cpu);
    dst.resMempm = htons(mem);
    dst.repInterval = htonl(interval);
}

inline void ipfixTopProcToHost(IPFIXTopProcType& dst, const IPFIXTopProcType& src) {
    const uint32_t pid = src.pid, interval = src.repInterval;
    const uint16_t cpu = src.totCPUpm, mem = src.resMempm;
    std::memmove(dst.procName, src.procName, TOPPROC_NAME_LEN);
    dst.pid = ntohl(pid);
    dst.totCPUpm = ntohs(cpu);
    dst.resMempm = ntohs(mem);
    dst.repInterval = ntohl(interval);
}

// Orders host-order records by CPU share alone, greatest first.
struct IPFIXTopProcGreater {
    bool operator()(const IPFIXTopProcType& a, const IPFIXTopProcType& b) const {
        return a.totCPUpm > b.totCPUpm;
    }
};

// A multiset that keeps at most m_k elements, the greatest in comparator
// order. A value equal to elements already held goes after them, and once the
// set is full a value must be strictly greater than the last element to enter:
// among equals the earliest inserted win. Iteration runs greatest first.
template <typename T, typename Compare>
class topk_multiset {
  public:
    typedef typename std::multiset<T, Compare>::const_iterator const_iterator;

    topk_multiset(size_t k, const Compare& comp = Compare())
        : m_k(k), m_comp(comp), m_multiset(comp) {}

    void insert(const T& value) {
        if (m_multiset.size() < m_k) {
            // std::multiset inserts at the upper end of the equal range.
            m_multiset.insert(value);
            return;
        }
        if (m_k == 0) return;
        auto last = std::prev(m_multiset.end());
        if (!m_comp(value, *last)) return;
        m_multiset.erase(last);
        m_multiset.insert(value);
    }

    const_iterator begin() const { return m_multiset.begin(); }
    const_iterator end() const { return m_multiset.end(); }
    size_t size() const { return m_multiset.size(); }
    bool empty() const { return m_multiset.empty(); }

  private:
    size_t m_k;
    Compare m_comp;
    std::multiset<T, Compare> m_multiset;
};
