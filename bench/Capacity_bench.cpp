// The disk-free listing parser on a 10,000-disk reply; one capacity sample of
// 100 filesystems of 100 disks each, and one of 5000 disks with one name; one
// sample each of the pool, fileset and QoS sensors for 100 filesystems. The
// sensors read a channel that hands out canned replies (the copy of each reply
// is part of the sample, as the real channel's would be). Heap allocations
// inside the timed part are counted with a replaced global operator new.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "PlatformPaths.h"
#include "SensorDRIXCapacity.h"
#include "SensorDRIXFileset.h"
#include "SensorDRIXPool.h"
#include "SensorDRIXQoS.h"

namespace {

std::atomic<uint64_t> allocations{0};

typedef std::vector<std::string> Lines;

Lines iqdfReply(int disks, int pools) {
    Lines out{
        "iqdf:zsd:HEADER:version:reserved:reserved:zsdName:storagePool:diskSize:failureGroup:"
        "metadata:data:freeBlocks:freeBlocksPct:freeFragments:freeFragmentsPct:"
        "diskAvailableForAlloc:\n"};
    for (int i = 0; i < disks; ++i) {
        out.push_back("iqdf:zsd:0:1:::disk" + std::to_string(i) + ":pool" +
                      std::to_string(i % pools) + ":1073741824:1:" + (i % 3 ? "Yes" : "No") +
                      ":Yes:524288000:49:1048576:1:up:\n");
    }
    out.push_back(
        "iqdf:inode:HEADER:version:reserved:reserved:usedInodes:freeInodes:allocatedInodes:"
        "maxInodes:\n");
    out.push_back("iqdf:inode:0:1:::4038:496442:500480:1000000:\n");
    return out;
}

void BM_ParseIqdf10000Disks(benchmark::State& state) {
    const Lines reply = iqdfReply(10000, 8);
    DRIXCapParser parser;
    for (auto _ : state) {
        state.PauseTiming();
        Lines lines = reply;
        state.ResumeTiming();
        DRIXCapParser::PoolTotals totals;
        std::vector<DRIXCapParser::Row> disks;
        std::map<std::string, uint64_t> inodes;
        std::string error;
        parser.parseCAPQResponse(&lines, totals, disks, inodes, error);
        benchmark::DoNotOptimize(disks.data());
        if (disks.size() != 10000) state.SkipWithError("disks lost");
    }
}
BENCHMARK(BM_ParseIqdf10000Disks)->Unit(benchmark::kMillisecond);

class CannedChannel : public CapqChannel {
  public:
    Reply executeCmd(const std::string& request) override {
        const auto it = replies.find(request);
        return it == replies.end() ? nullptr : Reply(new Lines(it->second));
    }
    std::map<std::string, Lines> replies;
};

void BM_CapacitySample100x100(benchmark::State& state) {
    CannedChannel channel;
    Lines fsInfo{
        "peekreg:fs:HEADER:version:reserved:reserved:pkrq_fs_type:pkrq_device_name:"
        "pkrq_owning_cluster_name:pkrq_remote_device_name:\n"};
    const Lines disks = iqdfReply(100, 4);
    for (int f = 0; f < 100; ++f) {
        const std::string fs = "fs" + std::to_string(f);
        fsInfo.push_back("peekreg:fs:0:1:::local:" + fs + ":c1:" + fs + ":\n");
        channel.replies["iqstatus:c1:" + fs] = {"File system is mounted and mounted on:\n",
                                                "10.0.0.1 n1\n"};
        channel.replies["iqdf:c1:" + fs] = disks;
    }
    channel.replies["fsInfo"] = fsInfo;
    SensorDRIXCapacity sensor;
    sensor.useChannel(&channel);
    sensor.init();
    sensor.getMetricData();  // discovery and first allocation outside the timing
    uint64_t counted = 0;
    for (auto _ : state) {
        const uint64_t before = allocations.load(std::memory_order_relaxed);
        const dataSet_t* sets = sensor.getMetricData();
        counted += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(sets);
        if (sets[0].numSets != 10000 || sets[1].numSets != 1600 || sets[2].numSets != 100)
            state.SkipWithError("records lost");
    }
    state.counters["allocs/sample"] =
        benchmark::Counter(static_cast<double>(counted) / state.iterations());
    sensor.shutdown();
}
BENCHMARK(BM_CapacitySample100x100)->Unit(benchmark::kMillisecond);

// One filesystem whose 5000 disks share one name: every key after the first
// is probed, with one collision line for the sample.
void BM_CapacitySampleEqualDiskNames(benchmark::State& state) {
    CannedChannel channel;
    channel.replies["fsInfo"] = {
        "peekreg:fs:HEADER:version:reserved:reserved:pkrq_fs_type:pkrq_device_name:"
        "pkrq_owning_cluster_name:pkrq_remote_device_name:\n",
        "peekreg:fs:0:1:::local:fs0:c1:fs0:\n"};
    channel.replies["iqstatus:c1:fs0"] = {"File system is mounted and mounted on:\n",
                                          "10.0.0.1 n1\n"};
    Lines disks = iqdfReply(0, 1);
    disks.insert(disks.begin() + 1, 5000,
                 "iqdf:zsd:0:1:::dup:system:1073741824:1:Yes:Yes:524288000:49:1048576:1:up:\n");
    channel.replies["iqdf:c1:fs0"] = disks;
    SensorDRIXCapacity sensor;
    sensor.useChannel(&channel);
    sensor.init();
    sensor.getMetricData();
    for (auto _ : state) {
        const dataSet_t* sets = sensor.getMetricData();
        benchmark::DoNotOptimize(sets);
        if (sets[0].numSets != 5000) state.SkipWithError("records lost");
    }
    sensor.shutdown();
}
BENCHMARK(BM_CapacitySampleEqualDiskNames)->Unit(benchmark::kMillisecond);

// Times samples of a sensor bound to `channel`, after one untimed sample.
template <class Sensor>
void timeSamples(benchmark::State& state, CannedChannel& channel, uint32_t expected) {
    Sensor sensor;
    sensor.useChannel(&channel);
    sensor.init();
    sensor.getMetricData();
    uint64_t counted = 0;
    for (auto _ : state) {
        const uint64_t before = allocations.load(std::memory_order_relaxed);
        const dataSet_t* sets = sensor.getMetricData();
        counted += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(sets);
        if (sets[0].numSets != expected) state.SkipWithError("records lost");
    }
    state.counters["allocs/sample"] =
        benchmark::Counter(static_cast<double>(counted) / state.iterations());
    sensor.shutdown();
}

// 100 local filesystems, mounted, each with `perFs` lines under `request`.
CannedChannel hundredFilesystems(const std::string& word, bool remoteForm, const Lines& perFs) {
    CannedChannel channel;
    Lines fsInfo{
        "peekreg:fs:HEADER:version:reserved:reserved:pkrq_fs_type:pkrq_device_name:"
        "pkrq_owning_cluster_name:pkrq_remote_device_name:\n"};
    for (int f = 0; f < 100; ++f) {
        const std::string fs = "fs" + std::to_string(f);
        fsInfo.push_back("peekreg:fs:0:1:::local:" + fs + ":c1:" + fs + ":\n");
        channel.replies["iqstatus:c1:" + fs] = {"File system is mounted and mounted on:\n",
                                                "10.0.0.1 n1\n"};
        channel.replies[word + (remoteForm ? "c1:" : "") + fs] = perFs;
    }
    channel.replies["fsInfo"] = fsInfo;
    return channel;
}

void BM_PoolSample100(benchmark::State& state) {
    Lines pools{"Storage pools in file system at '/fs':\n", "Name Id BlkSize Data Meta\n"};
    for (int p = 0; p < 4; ++p)
        pools.push_back("pool" + std::to_string(p) +
                        " 0 4 MB yes yes 104857600 101376000 ( 97%) 104857600 102043648 ( 97%)\n");
    CannedChannel channel = hundredFilesystems("iqlspool:", false, pools);
    timeSamples<SensorDRIXPool>(state, channel, 400);
}
BENCHMARK(BM_PoolSample100)->Unit(benchmark::kMillisecond);

void BM_FilesetSample100(benchmark::State& state) {
    Lines filesets{
        "iqlsfileset::HEADER:version:reserved:reserved:filesystemName:filesetName:id:rootInode:"
        "parentId:created:inodes:dataInKB:comment:filesetMode:afmTarget:isInodeSpaceOwner:"
        "maxInodes:allocInodes:inodeSpace:freeInodes:\n"};
    for (int i = 0; i < 10; ++i)
        filesets.push_back("iqlsfileset::0:1:::fs:set" + std::to_string(i) +
                           ":1:3:0:Mon:0:0::off::1:100000:50000:1:40000:\n");
    CannedChannel channel = hundredFilesystems("iqlsfileset:", true, filesets);
    timeSamples<SensorDRIXFileset>(state, channel, 1000);
}
BENCHMARK(BM_FilesetSample100)->Unit(benchmark::kMillisecond);

void BM_QoSSample100(benchmark::State& state) {
    CannedChannel channel;
    Lines list{"throtl:fs:HEADER:version:qosLocalFileSystem:\n"};
    const Lines stats{
        "throtl:stats:HEADER:version:pool:class:fset:iops:ioql:qsdl:et:MBs:maxIOPS:maxMBS:nNodes:"
        "\n",
        "throtl:stats:0:1:system:other:root:120:2:3:0.5:40:1000:500:4:\n",
        "throtl:stats:0:1:system:misc:root:10:1:0:0.1:2:100:50:4:\n"};
    for (int f = 0; f < 100; ++f) {
        const std::string fs = "fs" + std::to_string(f);
        list.push_back("throtl:fs:0:1:" + fs + ":\n");
        channel.replies["iqlsqos:" + fs + ":1"] = stats;
    }
    channel.replies["throtlfslist"] = list;
    // The node files it needs, under a platform root of its own.
    char tmpl[] = "/tmp/qosbench-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    for (const char* d : {"/var", "/var/qorm", "/var/qorm/gen"}) mkdir((root + d).c_str(), 0755);
    std::ofstream(root + "/var/qorm/gen/qorm.cfg") << "clusterName c1\n";
    std::ofstream(root + "/var/qorm/gen/qormNodeData") << "n1:10.0.0.1:c1:\n";
    Platform::setRoot(root);
    timeSamples<SensorDRIXQoS>(state, channel, 200);
    Platform::setRoot("");
    for (const char* f : {"/var/qorm/gen/qorm.cfg", "/var/qorm/gen/qormNodeData"})
        unlink((root + f).c_str());
    for (const char* d : {"/var/qorm/gen", "/var/qorm", "/var", ""}) rmdir((root + d).c_str());
}
BENCHMARK(BM_QoSSample100)->Unit(benchmark::kMillisecond);

}  // namespace

[[gnu::noinline]] void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
