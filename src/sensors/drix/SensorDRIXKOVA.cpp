// Source: "tallyq kovastat", one main-part key per field. Keys are
// case-sensitive and differ in one letter for the range extremes: "_rm_" is
// the minimum, "_rM_" the maximum and "_ra_" the average. The ids are not in
// row order: later facility versions added fields in the middle of the row.
#include "SensorDRIXKOVA.h"

#include <cstddef>

#include "SensorFactory.h"

namespace {

constexpr StatColumns::Column u32(const char* key, const char* name, uint16_t id,
                                  uint16_t semantic = SEMTYPE_TOTALCOUNTER) {
    return StatColumns::column(key, name, id, DT_UINT_32, semantic);
}

constexpr StatColumns::Column kovaColumns[] = {
    u32("_kova_capmb_", "drix_kova_capmb", 13598, SEMTYPE_QUANTITY),
    u32("_kova_usemb_", "drix_kova_usemb", 13599, SEMTYPE_QUANTITY),
    u32("_Inode_s_", "drix_kova_inode_s", 13550),
    u32("_Inode_sf_", "drix_kova_inode_sf", 13551),
    u32("_Inode_smb_", "drix_kova_inode_smb", 13552),
    u32("_Inode_r_", "drix_kova_inode_r", 13553),
    u32("_Inode_rf_", "drix_kova_inode_rf", 13554),
    u32("_Inode_rmb_", "drix_kova_inode_rmb", 13555),
    u32("_Inode_q_", "drix_kova_inode_q", 15107),
    u32("_Inode_qf_", "drix_kova_inode_qf", 15108),
    u32("_Inode_qmb_", "drix_kova_inode_qmb", 15109),
    u32("_Inode_i_", "drix_kova_inode_i", 13556),
    u32("_Inode_if_", "drix_kova_inode_if", 15105),
    u32("_Inode_imb_", "drix_kova_inode_imb", 13557),
    u32("_Inode_inr_", "drix_kova_inode_inr", 15106),
    u32("_Directory_s_", "drix_kova_directory_s", 13558),
    u32("_Directory_sf_", "drix_kova_directory_sf", 13559),
    u32("_Directory_smb_", "drix_kova_directory_smb", 13560),
    u32("_Directory_r_", "drix_kova_directory_r", 13561),
    u32("_Directory_rf_", "drix_kova_directory_rf", 13562),
    u32("_Directory_rmb_", "drix_kova_directory_rmb", 13563),
    u32("_Directory_q_", "drix_kova_directory_q", 15102),
    u32("_Directory_qf_", "drix_kova_directory_qf", 15103),
    u32("_Directory_qmb_", "drix_kova_directory_qmb", 15104),
    u32("_Directory_i_", "drix_kova_directory_i", 13564),
    u32("_Directory_if_", "drix_kova_directory_if", 15100),
    u32("_Directory_imb_", "drix_kova_directory_imb", 13565),
    u32("_Directory_inr_", "drix_kova_directory_inr", 15101),
    u32("_Data_abs_", "drix_kova_data_abs", 13592),
    u32("_Data_s_", "drix_kova_data_s", 13566),
    u32("_Data_sf_", "drix_kova_data_sf", 13567),
    u32("_Data_smb_", "drix_kova_data_smb", 13568),
    u32("_Data_r_", "drix_kova_data_r", 13569),
    u32("_Data_rf_", "drix_kova_data_rf", 13570),
    u32("_Data_rmb_", "drix_kova_data_rmb", 13571),
    u32("_Data_q_", "drix_kova_data_q", 13595),
    u32("_Data_qf_", "drix_kova_data_qf", 13596),
    u32("_Data_qmb_", "drix_kova_data_qmb", 13597),
    u32("_Data_i_", "drix_kova_data_i", 13572),
    u32("_Data_if_", "drix_kova_data_if", 13593),
    u32("_Data_imb_", "drix_kova_data_imb", 13573),
    u32("_Data_inr_", "drix_kova_data_inr", 13594),
    u32("_agt_i_", "drix_kova_agt_i", 13574),
    u32("_agt_i_rm_", "drix_kova_agt_i_rmin", 13575),
    u32("_agt_i_rM_", "drix_kova_agt_i_rmax", 13576),
    u32("_agt_i_ra_", "drix_kova_agt_i_ravg", 13577),
    u32("_agt_r_", "drix_kova_agt_r", 13578),
    u32("_agt_r_rm_", "drix_kova_agt_r_rmin", 13579),
    u32("_agt_r_rM_", "drix_kova_agt_r_rmax", 13580),
    u32("_agt_r_ra_", "drix_kova_agt_r_ravg", 13581),
    u32("_ssd_w_", "drix_kova_ssd_w", 13582),
    u32("_ssd_w_p_", "drix_kova_ssd_w_p", 13583),
    u32("_ssd_w_rm_", "drix_kova_ssd_w_rmin", 13584),
    u32("_ssd_w_rM_", "drix_kova_ssd_w_rmax", 13585),
    u32("_ssd_w_ra_", "drix_kova_ssd_w_ravg", 13586),
    u32("_ssd_r_", "drix_kova_ssd_r", 13587),
    u32("_ssd_r_p_", "drix_kova_ssd_r_p", 13588),
    u32("_ssd_r_rm_", "drix_kova_ssd_r_rmin", 13589),
    u32("_ssd_r_rM_", "drix_kova_ssd_r_rmax", 13590),
    u32("_ssd_r_ra_", "drix_kova_ssd_r_ravg", 13591),
};
constexpr auto drixLOCMetas = StatColumns::nodeTable(kovaColumns);
constexpr uint32_t NUM_METRICS = drixLOCMetas.size();
constexpr uint32_t sensorSize[] = {NUM_METRICS};

constexpr const MetricsMetadata* table = drixLOCMetas.data();
static_assert(NUM_METRICS == 63, "");
static_assert(sizeof(DRIXKOVAData) == 352, "");
static_assert(sizeof(DRIXKOVAData) == rowLength(table, 0, NUM_METRICS), "");
static_assert(offsetof(DRIXKOVAData, capmb) == columnOffset(table, 3), "");
static_assert(offsetof(DRIXKOVAData, directory_s) == columnOffset(table, 18), "");
static_assert(offsetof(DRIXKOVAData, data_abs) == columnOffset(table, 31), "");
static_assert(offsetof(DRIXKOVAData, agt_i_rmax) == columnOffset(table, 47), "");
static_assert(offsetof(DRIXKOVAData, ssd_w) == columnOffset(table, 53), "");
static_assert(offsetof(DRIXKOVAData, ssd_r_ravg) == columnOffset(table, 62), "");

}  // namespace

SensorDRIXKOVA::SensorDRIXKOVA()
    : SensorDRIXNodeBase(table, NUM_METRICS, sensorSize, 1, SensorID::DRIXKOVA, "tallyq kovastat",
                         &drixKOVAMetricData.keys, sizeof drixKOVAMetricData),
      drixKOVAMetricData{} {}

AbstractSensor* SensorDRIXKOVA::generate() { return new SensorDRIXKOVA(); }

void SensorDRIXKOVA::fillInMetrics(const std::vector<TallyqRecord>* records) {
    fillMainColumns(records->front(), kovaColumns, sizeof kovaColumns / sizeof kovaColumns[0]);
}

static volatile RegisterSensorGenerator<SensorDRIXKOVA> registerSensorDRIXKOVA(
    SensorID::DRIXKOVA, SensorDRIXKOVA::generate);
