// Shared pieces of the capacity sensors' tests: a channel that answers each
// request with a canned reply, canned listings, a platform root holding the
// node configuration file, and an FNV-1a written apart from the one under
// test. Test threads only.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "CapqChannel.h"
#include "PlatformPaths.h"
#include "stubs/StubHarness.h"

namespace CapTest {

typedef std::vector<std::string> Lines;

// Answers a request with the lines last set for it; null when none were set
// or the request was set to fail. Keeps every request.
class FakeChannel : public CapqChannel {
  public:
    void answer(const std::string& request, const Lines& lines) {
        replies[request] = {true, lines};
    }
    void fail(const std::string& request) { replies[request] = {false, {}}; }
    Reply executeCmd(const std::string& request) override {
        requests.push_back(request);
        stopping = stopping || request == stopAt;
        const auto it = replies.find(request);
        if (it == replies.end() || !it->second.first) return nullptr;
        return Reply(new Lines(it->second.second));
    }
    int count(const std::string& request) const {
        int n = 0;
        for (const std::string& r : requests) n += r == request;
        return n;
    }

    bool isStopping() override { return stopping; }

    std::vector<std::string> requests;
    // The daemon's stop begins during this request (its reply still comes).
    std::string stopAt;
    bool stopping = false;

  private:
    std::map<std::string, std::pair<bool, Lines>> replies;
};

// A channel whose relay the requests in `ends` end (a listing over the size
// bound, a relay that dies) while the clock is below the request's value,
// restarted on the real channel's rule: a start needs the clock more than
// two seconds past the last one. Counts requests made while it refuses.
class ClosingChannel : public FakeChannel {
  public:
    Reply executeCmd(const std::string& request) override {
        if (readiness() == Readiness::Waiting) {
            ++refused;
            return nullptr;
        }
        if (!open) started = clock;
        const auto end = ends.find(request);
        open = end == ends.end() || clock >= end->second;
        Reply reply = FakeChannel::executeCmd(request);
        return open ? std::move(reply) : nullptr;
    }
    Readiness readiness() override {
        const bool gapPassed = clock > started + 2;
        if (open) return gapPassed ? Readiness::Settled : Readiness::Young;
        return gapPassed ? Readiness::Startable : Readiness::Waiting;
    }

    static constexpr long FOREVER = 1L << 40;
    std::map<std::string, long> ends;
    long clock = 0, started = 0;
    bool open = true;
    int refused = 0;
};

// A platform root whose node file names the cluster (none when empty).
class Root {
  public:
    explicit Root(const std::string& cluster = "c1") {
        if (!cluster.empty()) {
            StubHarness::makeDirs(dir.path() + "/var/qorm/gen");
            std::ofstream(dir.path() + "/var/qorm/gen/qorm.cfg")
                << "clusterName " << cluster << "\n";
        }
        Platform::setRoot(dir.path());
    }
    ~Root() { Platform::setRoot(""); }
    const std::string& path() const { return dir.path(); }

  private:
    StubHarness::TempDir dir;
};

inline std::string fsRow(const std::string& type, const std::string& dev, const std::string& owner,
                         const std::string& remote) {
    return "peekreg:fs:0:1:::" + type + ":" + dev + ":" + owner + ":" + remote + ":\n";
}
// "fsInfo" with the given rows.
inline Lines fsInfo(const Lines& rows) {
    Lines out{
        "peekreg:fs:HEADER:version:reserved:reserved:pkrq_fs_type:pkrq_device_name:"
        "pkrq_owning_cluster_name:pkrq_remote_device_name:\n"};
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}
inline Lines mounted() { return {"File system x is mounted and mounted on:\n", "10.0.0.1 n1\n"}; }
inline Lines unmounted(const std::string& why) { return {why + "\n"}; }

inline std::string disk(const std::string& name, const std::string& pool, const std::string& size,
                        const std::string& meta = "Yes", const std::string& data = "Yes") {
    return "iqdf:zsd:0:1:::" + name + ":" + pool + ":" + size + ":1:" + meta + ":" + data +
           ":10:1:3:1:up:\n";
}
// "iqdf" listing with the given disk rows and, unless empty, inode counts.
inline Lines iqdf(const Lines& disks, const std::string& inodes = "5:6:7:8") {
    Lines out{
        "iqdf:zsd:HEADER:version:reserved:reserved:zsdName:storagePool:diskSize:failureGroup:"
        "metadata:data:freeBlocks:freeBlocksPct:freeFragments:freeFragmentsPct:"
        "diskAvailableForAlloc:\n"};
    out.insert(out.end(), disks.begin(), disks.end());
    if (!inodes.empty()) {
        out.push_back(
            "iqdf:inode:HEADER:version:reserved:reserved:usedInodes:freeInodes:allocatedInodes:"
            "maxInodes:\n");
        out.push_back("iqdf:inode:0:1:::" + inodes + ":\n");
    }
    return out;
}

// FNV-1a over the given texts, each NUL-padded to its width, bytes
// sign-extended.
inline uint32_t fnv(const std::vector<std::pair<std::string, std::size_t>>& fields) {
    uint32_t h = 0x811c9dc5u;
    for (const auto& f : fields) {
        std::string padded = f.first.substr(0, f.second - 1);
        padded.resize(f.second, '\0');
        for (const char c : padded) {
            h ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
            h *= 16777619u;
        }
    }
    return h;
}

}  // namespace CapTest
