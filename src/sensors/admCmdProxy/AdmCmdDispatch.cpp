#include "AdmCmdDispatch.h"

namespace AdmCmd {
namespace {

// The third entry is one argument that holds colons: the fields to list.
constexpr const char* pkrQueryParams_zsdInfo[] = {
    "peekreg", "pkrq_zsd_info", "pkrq_zsd_name:pkrq_fs_name:pkrq_storage_pool", nullptr};
constexpr const char* pkrQueryParams_clusterName[] = {"peekreg", "pkrq_cluster_info",
                                                      "pkrq_cluster_name", nullptr};

}  // namespace

const std::vector<CommandRelay::DispatchRow>& dispatchTable() {
    using CommandRelay::literalArgs;
    using CommandRelay::Match;
    static const std::vector<CommandRelay::DispatchRow> table = {
        {"zsdInfo", Match::WholeLine, "peekreg", literalArgs(pkrQueryParams_zsdInfo)},
        {"clusterName", Match::WholeLine, "peekreg", literalArgs(pkrQueryParams_clusterName)},
    };
    return table;
}

}  // namespace AdmCmd
