// The map from ZSD disk name to its storage pool and filesystem, read from the
// configuration repository: the request "zsdInfo" to AdmCmdRelay (through
// ADMCmdStub) answers with the repository tool's lines
//   peekreg:pkrq_zsd_info:<4 fields>:<disk>:<filesystem>:<pool>[:...]
// The map refreshes itself at a lookup once it is older than `refresh`
// seconds. A refresh that fails (no reply, a line that breaks the grammar) is
// tried again at the first lookup after the next newSample(), so a broken
// repository costs one query per sample, not one per disk.
//
// Owned by one sensor and used only on that sensor's thread. It takes a
// reference to ADMCmdStub at its first refresh and gives it back in the
// destructor. Its messages go to standard error, not to the daemon's log.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct poolFS_t {
    std::string pool;
    std::string fs;
};

// Pool first, then filesystem, both compared byte-wise.
inline bool operator<(const poolFS_t& a, const poolFS_t& b) {
    const int byPool = a.pool.compare(b.pool);
    return byPool != 0 ? byPool < 0 : a.fs.compare(b.fs) < 0;
}

class ZSDInfo {
  public:
    static const char* const pkrQuery;    // the request line
    static const char DELIM = ':';        // field separator of the reply lines
    static const char* const QUERYTOKEN;  // first field of every reply line
    static const char* const ZSDINFO;     // second field of every reply line

    // Seconds on a clock that only moves forward.
    using Clock = time_t (*)();
    // Sends a request and returns the reply lines (owned by the caller), or
    // null when there is no reply.
    using Query = std::function<std::vector<std::string>*(const std::string&)>;

    explicit ZSDInfo(long refresh, Clock clock = nullptr);
    ~ZSDInfo();
    ZSDInfo(const ZSDInfo&) = delete;
    ZSDInfo& operator=(const ZSDInfo&) = delete;

    // The pool and filesystem of `disk`, refreshing the map first when due;
    // unknown() when the map does not hold the disk. The answer is valid
    // until the next lookup (which may refresh).
    const poolFS_t* getPoolAndFS(const std::string& disk);
    const poolFS_t* unknown() const { return &unusedDisk; }

    // Marks the start of a sample: a refresh that failed may be tried again.
    void newSample() { attemptFailed = false; }

    // Queries the repository and rebuilds the map (see the top of this file).
    void populateMap();

    // Answers the refreshes from `query` instead of ADMCmdStub, which is then
    // never taken (tests, benchmark). Set before the first lookup.
    void setQuery(Query query) { seam = std::move(query); }

    // One reply line without its line end ("\n", "\r\n"): true with the disk
    // and its {pool, filesystem} when the line keeps the grammar.
    static bool parseLine(const std::string& line, std::string& disk, poolFS_t& entry);

    const std::map<std::string, poolFS_t>& map() const { return zsdMap; }
    time_t lastUpdateTime() const { return lastUpdate; }

  private:
    std::vector<std::string>* query();

    std::map<std::string, poolFS_t> zsdMap;
    time_t lastUpdate = 0;       // clock seconds of the last complete refresh
    bool refreshed = false;      // a refresh has completed
    bool attemptFailed = false;  // a refresh failed in this sample
    const long refresh;
    const Clock clock;
    class ADMCmdStub* admCmdStub = nullptr;  // held from the first refresh on
    bool channelAsked = false;
    Query seam;
    const poolFS_t unusedDisk{"unknown", "unknown"};
};
