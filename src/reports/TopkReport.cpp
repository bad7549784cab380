#include "TopkReport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {
constexpr size_t RECORD_LEN = sizeof(IPFIXTopProcType);
}

bool TopkItem::marshal(Marshal* m) const {
    return m->putUInt32(id) && m->putString(name) && m->putCUInt(cpu) && m->putCUInt(mem);
}

bool TopkItem::unmarshal(Marshal* m) {
    uint64_t c = 0, r = 0;
    if (!m->getUInt32(id) || !m->getString(name) || !m->getCUInt(c)) return false;
    cpu = static_cast<uint32_t>(c);
    if (!m->getCUInt(r)) return false;
    mem = static_cast<uint32_t>(r);
    return true;
}

int TopkReport::parse(const void* field, size_t length) {
    const size_t n = length / RECORD_LEN;
    interval = 0;
    items.resize(n);
    if (n == 0) return 0;
    if (field == nullptr) return -1;

    const char* p = static_cast<const char*>(field);
    for (size_t i = 0; i < n; ++i, p += RECORD_LEN) {
        // Fields come from rows in any alignment.
        IPFIXTopProcType rec;
        std::memcpy(&rec, p, RECORD_LEN);
        const void* nul = std::memchr(rec.procName, '\0', TOPPROC_NAME_LEN);
        if (nul == nullptr) return -1;
        ipfixTopProcToHost(rec, rec);

        TopkItem& item = items[i];
        item.name.assign(rec.procName, static_cast<const char*>(nul) - rec.procName);
        item.id = rec.pid;
        item.cpu = rec.totCPUpm;
        item.mem = rec.resMempm;

        if (interval == 0) {
            interval = rec.repInterval;
        } else if (rec.repInterval != interval) {
            return -1;
        }
    }
    return 0;
}

void TopkReport::newIPFIXReport(blob_type* out) const {
    const size_t len = items.size() * RECORD_LEN;
    char* buf = static_cast<char*>(std::malloc(len));
    if (buf != nullptr) {
        char* p = buf;
        for (const TopkItem& item : items) {
            IPFIXTopProcType rec;
            std::memset(&rec, 0, sizeof rec);
            std::strncpy(rec.procName, item.name.c_str(), TOPPROC_NAME_LEN - 1);
            rec.pid = item.id;
            rec.totCPUpm = static_cast<uint16_t>(item.cpu);
            rec.resMempm = static_cast<uint16_t>(item.mem);
            rec.repInterval = interval;
            ipfixTopProcToNet(rec, rec);
            std::memcpy(p, &rec, RECORD_LEN);
            p += RECORD_LEN;
        }
    }
    out->m_dataptr = buf;
    out->m_datalen = buf != nullptr ? len : 0;
}

bool TopkReport::marshal(Marshal* m) const {
    if (!m->putUInt32(interval) || !m->putCUInt(items.size())) return false;
    for (const TopkItem& item : items) {
        if (!item.marshal(m)) return false;
    }
    return true;
}

bool TopkReport::unmarshal(Marshal* m) {
    uint64_t count = 0;
    if (!m->getUInt32(interval) || !m->getCUInt(count)) return false;
    // The count comes from the stream: items beyond those already held are
    // added only as they are read, so a forged count cannot make us allocate
    // memory the stream never backs.
    if (count < items.size()) items.resize(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        if (i < items.size()) {
            if (!items[i].unmarshal(m)) return false;
        } else {
            TopkItem item;
            if (!item.unmarshal(m)) return false;
            items.push_back(std::move(item));
        }
    }
    return true;
}

void aggregateTopkReports(std::vector<TopkReport>& reports, TopkReport& out) {
    const size_t n = reports.size();
    if (n == 0) return;
    if (n == 1) {
        out.interval = reports[0].interval;
        out.items = reports[0].items;
        reports.clear();
        return;
    }

    // Merge by process; std::map gives the ascending id order the selection
    // below relies on for its tie-break.
    std::map<uint32_t, TopkItem> merged;
    size_t k = 0;
    for (const TopkReport& report : reports) {
        out.interval += report.interval;
        k = std::max(k, report.items.size());
        for (const TopkItem& item : report.items) {
            auto it = merged.find(item.id);
            if (it == merged.end()) {
                merged.emplace(item.id, item);
            } else {
                it->second.cpu += item.cpu;
                it->second.mem += item.mem;
            }
        }
    }

    topk_multiset<const TopkItem*, TopkItemGreater> ranking(k);
    for (const auto& entry : merged) ranking.insert(&entry.second);

    for (const TopkItem* entry : ranking) {
        TopkItem avg = *entry;
        avg.cpu = static_cast<uint32_t>(avg.cpu / n);
        avg.mem = static_cast<uint32_t>(avg.mem / n);
        out.items.push_back(std::move(avg));
    }
    reports.clear();
}

std::ostream& operator<<(std::ostream& os, const TopkItem& item) {
    return os << item.id << ' ' << item.name << ' ' << item.cpu << ' ' << item.mem;
}

std::ostream& operator<<(std::ostream& os, const TopkReport& report) {
    os << "k=" << report.getTopk().size() << ", i=" << report.getInterval() << " {\n";
    for (const TopkItem& item : report.getTopk()) os << item << '\n';
    return os << '}';
}
