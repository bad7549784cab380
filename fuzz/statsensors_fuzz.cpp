// Replies of the statistics facility must never crash a statistics sensor.
// The bytes become one reply through the reply reader, as the channel reads
// it, and every statistics sensor fills its rows from that reply through its
// query seam. What the rows rely on is checked: a data set is always handed
// back; a per-node sensor's holds at most one row of the sensor's length and
// keeps the row header written at init; every other sensor's rows have the
// length of their group in the sensor's table and lie wholly in storage.
#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "PlatformPaths.h"
#include "SensorDRIXBufMgr.h"
#include "SensorDRIXCacheStat.h"
#include "SensorDRIXCondvar.h"
#include "SensorDRIXDisk.h"
#include "SensorDRIXEventProducer.h"
#include "SensorDRIXFilesystem.h"
#include "SensorDRIXFilesystemAPI.h"
#include "SensorDRIXIOContext.h"
#include "SensorDRIXJZK.h"
#include "SensorDRIXKOVA.h"
#include "SensorDRIXMutex.h"
#include "SensorDRIXNodeStat.h"
#include "SensorDRIXNodeStatAPI.h"
#include "SensorDRIXOpenFile.h"
#include "SensorDRIXPDDisk.h"
#include "SensorDRIXPoolIO.h"
#include "SensorDRIXRPCS.h"
#include "SensorDRIXRPCSPeer.h"
#include "SensorDRIXVFS.h"
#include "SensorDRIXVFSX.h"
#include "SensorDRIXVIO.h"
#include "SensorDRIXVIO64.h"
#include "SensorDRIXWQM.h"
#include "SensorDRIXWQMFS.h"
#include "SensorDRIXWQMFSet.h"
#include "SensorDRIXWaiters.h"
#include "SensorDRIXZSDDisk.h"
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

// The sensors built straight on AbstractSensor: their rows are checked
// against their own tables, and every byte handed back is read, so a row
// outside its storage shows.
template <class S>
AbstractSensor* direct() {
    S* s = new S();
    s->setQuery(&query);
    if (s->init() != 0) std::abort();
    return s;
}

// The ZSD disk sensor, its name map answering from fixed repository lines, so
// that disks named in the input reach the filesystem and pool sums.
AbstractSensor* zsdDisk() {
    AbstractSensor* s = direct<SensorDRIXZSDDisk>();
    static_cast<SensorDRIXZSDDisk*>(s)->getZSDInfo()->setQuery([](const std::string&) {
        return new std::vector<std::string>{"peekreg:pkrq_zsd_info:a:b:c:d:zsd1:fs1:system:\n",
                                            "peekreg:pkrq_zsd_info:a:b:c:d:zsd2:fs1:data:\n",
                                            "peekreg:pkrq_zsd_info:a:b:c:d:zsd3:fs2:system:\n",
                                            "peekreg:pkrq_zsd_info:a:b:c:d:unknown:fs2:data:\n"};
    });
    return s;
}

std::vector<std::unique_ptr<AbstractSensor>>& directSensors() {
    static std::vector<std::unique_ptr<AbstractSensor>>* all = [] {
        // The cluster sensor reads its cluster name from the node file at its
        // first sample and keeps it; the file is gone again afterwards.
        const std::string root = "/tmp/statsensors_fuzz-" + std::to_string(getpid());
        const std::string dirs[] = {root, root + "/var", root + "/var/qorm", root + "/var/qorm/gen"};
        for (const std::string& d : dirs) mkdir(d.c_str(), 0700);
        const std::string file = dirs[3] + "/qorm.cfg";
        std::ofstream(file) << "clusterName fuzz\n";
        Platform::setRoot(root);
        auto* v = new std::vector<std::unique_ptr<AbstractSensor>>;
        for (AbstractSensor* s :
             {direct<SensorDRIXMutex>(), direct<SensorDRIXCondvar>(), direct<SensorDRIXRPCS>(),
              direct<SensorDRIXRPCSPeer>(), direct<SensorDRIXWaiters>(), direct<SensorDRIXBufMgr>(),
              direct<SensorDRIXDisk>(), direct<SensorDRIXPDDisk>(), direct<SensorDRIXFilesystem>(),
              direct<SensorDRIXPoolIO>(), direct<SensorDRIXFilesystemAPI>(),
              direct<SensorDRIXWQM>(), direct<SensorDRIXWQMFS>(), direct<SensorDRIXWQMFSet>(),
              zsdDisk(), direct<SensorDRIXJZK>()})
            v->emplace_back(s);
        query.data = "";
        query.size = 0;
        v->back()->getMetricData();
        Platform::setRoot("");
        std::remove(file.c_str());
        for (int i = 3; i >= 0; --i) rmdir(dirs[i].c_str());
        return v;
    }();
    return *all;
}

void checkDirect(AbstractSensor& sensor) {
    const dataSet_t* sets = sensor.getMetricData();
    if (sets == nullptr) std::abort();
    volatile unsigned char sink = 0;
    for (uint32_t g = 0; g < sensor.getNumVirtualSensors(); ++g) {
        const dataSet_t& meta = sensor.getMetaData()[g];
        const auto* m = reinterpret_cast<const MetricsMetadata*>(meta.data);
        uint32_t length = 0;
        for (uint32_t i = 0; i < meta.numSets; ++i) length += ntohs(m[i].metricLen);
        if (sets[g].setLength != length) std::abort();
        if (sets[g].numSets > 0 && sets[g].data == nullptr) std::abort();
        const std::size_t bytes = static_cast<std::size_t>(sets[g].numSets) * length;
        for (std::size_t i = 0; i < bytes; ++i) sink = sink ^ sets[g].data[i];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Fuzzed>& all = sensors();
    std::vector<std::unique_ptr<AbstractSensor>>& others = directSensors();
    query.data = reinterpret_cast<const char*>(data);
    query.size = size;
    for (Fuzzed& f : all) {
        const dataSet_t* set = f.sensor->getMetricData();
        if (set == nullptr || set->numSets > 1) std::abort();
        if (set->setLength != f.sensor->getRowLength()) std::abort();
        if (std::memcmp(set->data, f.header.data(), f.header.size()) != 0) std::abort();
    }
    for (auto& s : others) checkDirect(*s);
    return 0;
}
