// Source: CapqRelay's "iqdf:<cluster>:<device>" request, which runs the
// disk-free tool in colon format: one "zsd" record per disk (pool, size, free
// full blocks and fragments in KB, metadata/data flags) and one "inode"
// record per filesystem. Pools are summed per usage type by the parser.
#include "SensorDRIXCapacity.h"

#include <cstddef>
#include <cstring>

#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixCapMetas[] = {
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_diskpool_name", 13006, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_disk_name", 13301, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_disk_disksize", 14634, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_disk_free_fullkb", 14635, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_disk_free_fragkb", 14636, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_diskpool_name", 13006, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_disk_usage_name", 13009, DT_STRING, 24, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_pool_disksize", 14631, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_pool_free_fullkb", 14632, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_pool_free_fragkb", 14633, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_fs_inode_used", 14637, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_fs_inode_free", 14638, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_fs_inode_alloc", 14639, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_fs_inode_max", 14640, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t groupSizes[] = {9, 9, 8};
constexpr const MetricsMetadata* diskMetas = drixCapMetas;
constexpr const MetricsMetadata* poolMetas = drixCapMetas + 9;
constexpr const MetricsMetadata* inodeMetas = drixCapMetas + 18;

typedef SensorDRIXCapacity::DRIXDiskCapData Disk;
typedef SensorDRIXCapacity::DRIXPoolCapData Pool;
typedef SensorDRIXCapacity::DRIXInodeCapData Inode;
static_assert(sizeof(Disk) == 328 && sizeof(Disk) == rowLength(diskMetas, 0, 9), "");
static_assert(offsetof(Disk, drixFSName) == columnOffset(diskMetas, 2), "");
static_assert(offsetof(Disk, drixDiskName) == columnOffset(diskMetas, 4), "");
static_assert(offsetof(Disk, metricKey) == columnOffset(diskMetas, 5), "");
static_assert(offsetof(Disk, diskSize) == columnOffset(diskMetas, 6), "");
static_assert(sizeof(Pool) == 288 && sizeof(Pool) == rowLength(poolMetas, 0, 9), "");
static_assert(offsetof(Pool, drixUsageName) == columnOffset(poolMetas, 4), "");
static_assert(offsetof(Pool, metricKey) == columnOffset(poolMetas, 5), "");
static_assert(offsetof(Pool, diskSize) == columnOffset(poolMetas, 6), "");
static_assert(sizeof(Inode) == 208 && sizeof(Inode) == rowLength(inodeMetas, 0, 8), "");
static_assert(offsetof(Inode, metricKey) == columnOffset(inodeMetas, 3), "");
static_assert(offsetof(Inode, usedInodes) == columnOffset(inodeMetas, 4), "");

// Column indexes within each group.
enum { CLUSTER = 0, SENSOR = 1, FS = 2, POOL = 3, DISK = 4, USAGE = 4 };
enum { DISK_VALUES = 6, POOL_VALUES = 6, INODE_VALUES = 4 };

const SensorDRIXCapFlow::Texts capacityTexts = {
    "No capq command stub, no metrics to report.",
    "Error running iqdf for filesystem %s: %s",
    "No data from iqdf, no metrics to report",
    "No results received from iqdf, no metrics to report.",
};

const std::string* column(const DRIXCapParser::Row& row, const char* key) {
    const auto it = row.find(key);
    return it == row.end() ? nullptr : &it->second;
}

}  // namespace

SensorDRIXCapacity::SensorDRIXCapacity()
    : SensorDRIXCapFlow(SensorID::DRIXDiskCap, drixCapMetas, 26, groupSizes, 3, metricDataSets,
                        capacityTexts, {"iqdf", true}),
      diskRow(diskMetas, 9),
      poolRow(poolMetas, 9),
      inodeRow(inodeMetas, 8),
      metricDataSets{
          {0, sizeof(Disk), nullptr}, {0, sizeof(Pool), nullptr}, {0, sizeof(Inode), nullptr}} {}

AbstractSensor* SensorDRIXCapacity::generate() { return new SensorDRIXCapacity(); }

void SensorDRIXCapacity::startPoll() { collected.clear(); }

void SensorDRIXCapacity::collect(const FsPair& fs, DRIXCapParser::Lines* reply,
                                 std::string& error) {
    Collected c;
    drixCapParser.parseCAPQResponse(reply, c.totals, c.disks, c.inodes, error);
    if (!error.empty()) return;
    c.fs = fs.first;
    collected.push_back(std::move(c));
}

std::size_t SensorDRIXCapacity::buildRecords() {
    char clusterField[64];
    safeStrncpy(clusterField, drixClusterName.c_str(), sizeof clusterField);
    const uint32_t nodeID = FNV1AHash32(clusterField, sizeof clusterField);
    const std::size_t n = buildDisks(nodeID) + buildPools(nodeID) + buildInodes(nodeID);
    keys.reportCollisions(*log, getName());
    return n;
}

std::size_t SensorDRIXCapacity::buildDisks(uint32_t nodeID) {
    std::size_t needed = 0;
    for (const Collected& c : collected) needed += c.disks.size();
    dataSet_t& set = metricDataSets[0];
    set.numSets = 0;
    if (needed == 0) return 0;
    Disk* records = diskCapMetricData.prepare(needed, set);
    static const char* const valueColumns[3] = {"diskSize", "freeBlocks", "freeFragments"};
    static const char* const missing[3] = {
        "Missing diskSize for filesystem %s, pool %s disk %s",
        "Missing free_fullkb for filesystem %s, pool %s disk %s",
        "Missing free_fragkb for filesystem %s, pool %s disk %s"};
    std::size_t n = 0;
    for (const Collected& c : collected) {
        keys.clear();
        for (const DRIXCapParser::Row& disk : c.disks) {
            char* row = reinterpret_cast<char*>(&records[n]);
            std::memset(row, 0, sizeof(Disk));
            diskRow.putString(row, CLUSTER, drixClusterName);
            diskRow.putString(row, SENSOR, getName());
            diskRow.putString(row, FS, c.fs);
            const std::string* pool = column(disk, "storagePool");
            if (pool == nullptr) {
                log->logWarning("Missing pool name for filesystem %s", c.fs.c_str());
                continue;
            }
            diskRow.putString(row, POOL, *pool);
            const std::string* name = column(disk, "zsdName");
            if (name == nullptr) {
                log->logWarning("Missing disk name for filesystem %s, pool %s", c.fs.c_str(),
                                pool->c_str());
                continue;
            }
            diskRow.putString(row, DISK, *name);
            const uint32_t hash = keys.claim(diskRow.keyStringHash(row), [&] {
                return joinKeyText({c.fs, *pool, *name});
            });
            diskRow.putKey(row, MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
            bool complete = true;
            for (int k = 0; k < 3 && complete; ++k) {
                const std::string* value = column(disk, valueColumns[k]);
                if (value == nullptr) {
                    log->logWarning(missing[k], c.fs.c_str(), pool->c_str(), name->c_str());
                    complete = false;
                } else {
                    diskRow.putNumber(row, DISK_VALUES + k, DRIXCapParser::unsignedText(*value));
                }
            }
            if (complete) ++n;
        }
    }
    set.numSets = static_cast<uint32_t>(n);
    return n;
}

std::size_t SensorDRIXCapacity::buildPools(uint32_t nodeID) {
    std::size_t needed = 0;
    for (const Collected& c : collected) needed += 12 * c.totals.size();
    dataSet_t& set = metricDataSets[1];
    set.numSets = 0;
    if (needed == 0) return 0;
    Pool* records = poolCapMetricData.prepare(needed, set);
    std::size_t n = 0;
    for (const Collected& c : collected) {
        keys.clear();
        for (const auto& pool : c.totals) {
            for (const auto& usage : pool.second) {
                char* row = reinterpret_cast<char*>(&records[n]);
                std::memset(row, 0, sizeof(Pool));
                poolRow.putString(row, CLUSTER, drixClusterName);
                poolRow.putString(row, SENSOR, "DRIXPoolCap");
                poolRow.putString(row, FS, c.fs);
                poolRow.putString(row, POOL, pool.first);
                poolRow.putString(row, USAGE, usage.first);
                const uint32_t hash = keys.claim(poolRow.keyStringHash(row), [&] {
                    return joinKeyText({c.fs, pool.first, usage.first});
                });
                poolRow.putKey(row, MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
                if (usage.second.size() != 3) {
                    log->logWarning(
                        "Did not receive all metric attributes for sensor %s : %s %s %s",
                        "DRIXPoolCap", c.fs.c_str(), pool.first.c_str(), usage.first.c_str());
                    continue;
                }
                for (int k = 0; k < 3; ++k)
                    poolRow.putNumber(row, POOL_VALUES + k, usage.second[k]);
                ++n;
            }
        }
    }
    set.numSets = static_cast<uint32_t>(n);
    return n;
}

std::size_t SensorDRIXCapacity::buildInodes(uint32_t nodeID) {
    std::size_t needed = 0;
    for (const Collected& c : collected) needed += c.inodes.size();
    dataSet_t& set = metricDataSets[2];
    set.numSets = 0;
    if (needed == 0) return 0;
    Inode* records = inodeCapMetricData.prepare(needed, set);
    static const char* const counts[4] = {"usedInodes", "freeInodes", "allocatedInodes",
                                          "maxInodes"};
    static const char* const missing[4] = {
        "Could not find \"used\" field in raw data for sensor %s : %s",
        "Could not find \"free\" field in raw data for sensor %s : %s",
        "Could not find \"alloc\" field in raw data for sensor %s : %s",
        "Could not find \"max\" field in raw data for sensor %s : %s"};
    std::size_t n = 0;
    for (const Collected& c : collected) {
        char* row = reinterpret_cast<char*>(&records[n]);
        std::memset(row, 0, sizeof(Inode));
        inodeRow.putString(row, CLUSTER, drixClusterName);
        inodeRow.putString(row, SENSOR, "DRIXInodeCap");
        inodeRow.putString(row, FS, c.fs);
        inodeRow.putKey(row, MetricKey{nodeID, inodeRow.keyStringHash(row),
                                       static_cast<uint16_t>(sensorID), 0});
        bool complete = true;
        for (int k = 0; k < 4 && complete; ++k) {
            const auto it = c.inodes.find(counts[k]);
            if (it == c.inodes.end()) {
                log->logWarning(missing[k], "DRIXInodeCap", c.fs.c_str());
                complete = false;
            } else {
                inodeRow.putNumber(row, INODE_VALUES + k, it->second);
            }
        }
        if (complete) ++n;
    }
    set.numSets = static_cast<uint32_t>(n);
    return n;
}

static volatile RegisterSensorGenerator<SensorDRIXCapacity> registerSensorDRIXCapacity(
    SensorID::DRIXDiskCap, SensorDRIXCapacity::generate);
