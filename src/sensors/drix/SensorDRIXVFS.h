// The "DRIXVFS" sensor: count and total time of each of the node's 47 VFS
// operations, from "tallyq vfss". The operation list is shared with
// SensorDRIXVFSX, which adds the shortest and longest times.
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

namespace DRIXVFSOps {

// One VFS operation: its main-part key and the word of its metric names.
struct Operation {
    const char* key;
    const char* word;
};

constexpr uint32_t NUM_OPS = 47;
// Operation 47 ("_vget_") has the one 64-bit count; operation 42's count
// metric is spelt "detDentry" in SensorDRIXVFS alone.
constexpr uint32_t VGET = 46;
constexpr uint32_t GET_DENTRY = 41;

constexpr Operation operations[NUM_OPS] = {
    {"_access_", "accesses"},
    {"_close_", "close"},
    {"_create_", "create"},
    {"_fclear_", "clear"},
    {"_fsync_", "fsync"},
    {"_fsync_range_", "fsyncRange"},
    {"_ftrunc_", "ftrunc"},
    {"_getattr_", "getattr"},
    {"_link_", "link"},
    {"_lockctl_", "lockctl"},
    {"_lookup_", "lookup"},
    {"_map_lloff_", "mapLloff"},
    {"_mkdir_", "mkdir"},
    {"_mknod_", "mknod"},
    {"_open_", "open"},
    {"_read_", "read"},
    {"_write_", "write"},
    {"_mmapRead_", "mmapread"},
    {"_mmapWrite_", "mmapwrite"},
    {"_aioRead_", "aioread"},
    {"_aioWrite_", "aiowrite"},
    {"_readdir_", "readdir"},
    {"_readlink_", "readlink"},
    {"_readpage_", "readpage"},
    {"_remove_", "remove"},
    {"_rename_", "rename"},
    {"_rmdir_", "rmdir"},
    {"_setacl_", "setacl"},
    {"_setattr_", "setattr"},
    {"_symlink_", "symlink"},
    {"_unmap_", "unmap"},
    {"_writepage_", "writepage"},
    {"_tsfattr_", "tsfattr"},
    {"_tsfsattr_", "tsfsattr"},
    {"_flock_", "flock"},
    {"_setxattr_", "setxattr"},
    {"_getxattr_", "getxattr"},
    {"_listxattr_", "listxattr"},
    {"_removexattr_", "removexattr"},
    {"_encode_fh_", "encodeFh"},
    {"_decode_fh_", "decodeFh"},
    {"_get_dentry_", "getDentry"},
    {"_get_parent_", "getParent"},
    {"_mount_", "mount"},
    {"_statfs_", "statfs"},
    {"_sync_", "sync"},
    {"_vget_", "vget"},
};

}  // namespace DRIXVFSOps

// Counts of operations 1 to 46, the 64-bit count of operation 47, then the
// total times of all 47 in microseconds; big-endian.
struct DRIXVFSData {
    DRIXNodeHdr keys;
    uint32_t drixVFSCount[DRIXVFSOps::NUM_OPS - 1];
    uint64_t drixVFSVget;
    uint64_t drixVFSTime[DRIXVFSOps::NUM_OPS];
} __attribute__((packed));

class SensorDRIXVFS : public SensorDRIXNodeBase {
  public:
    SensorDRIXVFS();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXVFSData drixVFSMetricData;
};
