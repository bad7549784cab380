#include "CapqDispatch.h"

namespace Capq {
namespace {

using CommandRelay::Arg;
using CommandRelay::Match;

constexpr const char* pkrQueryParams_fsInfo[] = {"peekreg", "pkrq_fs_info", "all", nullptr};
constexpr const char* throtlCommandParams[] = {"throtl", "fs", "listenabled", "-Y", nullptr};

constexpr Arg path{Arg::ToolPath, nullptr};
constexpr Arg name{Arg::Name, nullptr};
constexpr Arg period{Arg::Period, nullptr};
constexpr Arg text(const char* t) { return {Arg::Text, t}; }

}  // namespace

const std::vector<CommandRelay::DispatchRow>& dispatchTable() {
    // The per-filesystem rows and drixversion pass the tool's full path as
    // argv[0]; fsInfo, throtlfslist and iqlsqos its bare name. The pool
    // listing's tool file is iqlspool34.
    static const std::vector<CommandRelay::DispatchRow> table = {
        {"fsInfo", Match::WholeLine, "peekreg", CommandRelay::literalArgs(pkrQueryParams_fsInfo)},
        {iqstatusCmd, Match::Prefix, "iqstatus", {path, text("-m"), name}},
        {iqlsfilesetCmd, Match::Prefix, "iqlsfileset", {path, name, text("-Y")}},
        {iqlspoolCmd, Match::Prefix, "iqlspool34", {path, name}},
        {quotaFSETCmd, Match::Prefix, "iqrepquota", {path, text("-Y"), text("-j"), name}},
        {iqdfCmd, Match::Prefix, "iqdf", {path, name, text("-Y")}},
        {drixVersionCmd,
         Match::Prefix,
         "peekreg",
         {path, text("pkrq_node_info"), text("pkrq_product_version"), name}},
        {throtlfslistCmd, Match::WholeLine, "throtl",
         CommandRelay::literalArgs(throtlCommandParams)},
        {iqlsqosCmd,
         Match::PrefixNameAndPeriod,
         "iqlsqos",
         {text("iqlsqos"), name, text("--pool"), text("all"), text("--seconds"), period,
          text("-Y")}},
    };
    return table;
}

}  // namespace Capq
