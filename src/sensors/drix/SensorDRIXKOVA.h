// The "DRIXKOVA" sensor: the node's KOVA cache (capacity and use; per class
// inodes, directories and data the counts, failures and megabytes of its
// operations; its agent and its SSD writes and reads), from
// "tallyq kovastat".
//
// Made by the factory and owned by the controller block that runs it; every
// operation runs on the sensor's own thread.
#pragma once

#include <cstdint>

#include "SensorDRIXNodeBase.h"

// 60 u32 in the row order of the metric table; big-endian.
struct DRIXKOVAData {
    DRIXNodeHdr keys;
    uint32_t capmb, usemb;
    uint32_t inode_s, inode_sf, inode_smb, inode_r, inode_rf, inode_rmb, inode_q, inode_qf,
        inode_qmb, inode_i, inode_if, inode_imb, inode_inr;
    uint32_t directory_s, directory_sf, directory_smb, directory_r, directory_rf, directory_rmb,
        directory_q, directory_qf, directory_qmb, directory_i, directory_if, directory_imb,
        directory_inr;
    uint32_t data_abs, data_s, data_sf, data_smb, data_r, data_rf, data_rmb, data_q, data_qf,
        data_qmb, data_i, data_if, data_imb, data_inr;
    uint32_t agt_i, agt_i_rmin, agt_i_rmax, agt_i_ravg, agt_r, agt_r_rmin, agt_r_rmax, agt_r_ravg;
    uint32_t ssd_w, ssd_w_p, ssd_w_rmin, ssd_w_rmax, ssd_w_ravg;
    uint32_t ssd_r, ssd_r_p, ssd_r_rmin, ssd_r_rmax, ssd_r_ravg;
} __attribute__((packed));

class SensorDRIXKOVA : public SensorDRIXNodeBase {
  public:
    SensorDRIXKOVA();
    static AbstractSensor* generate();

  protected:
    void fillInMetrics(const std::vector<TallyqRecord>* records) override;

  private:
    DRIXKOVAData drixKOVAMetricData;
};
