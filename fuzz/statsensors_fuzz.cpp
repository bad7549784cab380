// Replies of the statistics facility must never crash a statistics sensor.
// The bytes become one reply through the reply reader, as the channel reads
// it, and every statistics sensor fills its rows from that reply through its
// query seam. What the rows rely on is checked: a data set is always handed
// back, with at most one row of the sensor's length, and the row header
// written at init is never touched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "SensorDRIXCacheStat.h"
#include "SensorDRIXEventProducer.h"
#include "SensorDRIXIOContext.h"
#include "SensorDRIXKOVA.h"
#include "SensorDRIXNodeStat.h"
#include "SensorDRIXNodeStatAPI.h"
#include "SensorDRIXOpenFile.h"
#include "SensorDRIXVFS.h"
#include "SensorDRIXVFSX.h"
#include "SensorDRIXVIO.h"
#include "SensorDRIXVIO64.h"
#include "SensorDRIXvFlush.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace {

// Answers every request with a reply read from the current input.
class BytesQuery : public TallyqQuery {
  public:
    TallyqResponse* executeQuery(const std::string&) override {
        TallyqReplyReader reader;
        reader.feed(data, size);
        if (!reader.complete()) reader.inputEnded();
        return reader.take();
    }
    const char* data = nullptr;
    std::size_t size = 0;
};

struct Fuzzed {
    std::unique_ptr<SensorDRIXNodeBase> sensor;
    std::string header;  // the 112 bytes written by init
};

BytesQuery query;

// Made once, so state that lives from sample to sample (switched-off I/O
// contexts, the per-bucket announcement) meets many replies.
std::vector<Fuzzed>& sensors() {
    static std::vector<Fuzzed>* all = [] {
        auto* v = new std::vector<Fuzzed>;
        std::vector<SensorDRIXNodeBase*> made = {
            new SensorDRIXVFS(),
            new SensorDRIXVFSX(),
            new SensorDRIXIOContext(),
            new SensorDRIXVIO(),
            new SensorDRIXVIO64(),
            new SensorDRIXNodeStat(),
            new SensorDRIXNodeStatAPI(),
            new SensorDRIXKOVA(),
            new SensorDRIXvFlush(),
            new SensorDRIXCacheStat(),
            new SensorDRIXEventProducerStat(),
            new SensorDRIXOpenFile(),
        };
        // A row is only read after a good sample; an empty reply still
        // leaves the header in place.
        for (SensorDRIXNodeBase* s : made) {
            s->setQuery(&query);
            if (s->init() != 0) std::abort();
            query.data = "";
            query.size = 0;
            const dataSet_t* set = s->getMetricData();
            v->push_back({std::unique_ptr<SensorDRIXNodeBase>(s), std::string(set->data, 112)});
        }
        return v;
    }();
    return *all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Fuzzed>& all = sensors();
    query.data = reinterpret_cast<const char*>(data);
    query.size = size;
    for (Fuzzed& f : all) {
        const dataSet_t* set = f.sensor->getMetricData();
        if (set == nullptr || set->numSets > 1) std::abort();
        if (set->setLength != f.sensor->getRowLength()) std::abort();
        if (std::memcmp(set->data, f.header.data(), f.header.size()) != 0) std::abort();
    }
    return 0;
}
