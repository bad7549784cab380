#include "CapqDispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "CommandRelay.h"

namespace {

using CommandRelay::Dispatch;

const std::string B = "/usr/vnx/qorm/bin/";

struct Row {
    std::string line;
    Dispatch::Outcome outcome;
    std::string cmd;
    std::vector<std::string> params;
};

TEST(CapqDispatch, RequestLinesMapToToolsAndArgumentVectors) {
    const Row rows[] = {
        {"fsInfo", Dispatch::Run, B + "peekreg", {"peekreg", "pkrq_fs_info", "all"}},
        {"iqstatus:fs1", Dispatch::Run, B + "iqstatus", {B + "iqstatus", "-m", "fs1"}},
        {"iqlsfileset:fs1", Dispatch::Run, B + "iqlsfileset", {B + "iqlsfileset", "fs1", "-Y"}},
        // The pool listing runs a tool file named differently from its word.
        {"iqlspool:fs1", Dispatch::Run, B + "iqlspool34", {B + "iqlspool34", "fs1"}},
        {"quotaFSET:fs1", Dispatch::Run, B + "iqrepquota", {B + "iqrepquota", "-Y", "-j", "fs1"}},
        {"iqdf:fs1", Dispatch::Run, B + "iqdf", {B + "iqdf", "fs1", "-Y"}},
        {"drixversion:node7",
         Dispatch::Run,
         B + "peekreg",
         {B + "peekreg", "pkrq_node_info", "pkrq_product_version", "node7"}},
        {"throtlfslist", Dispatch::Run, B + "throtl", {"throtl", "fs", "listenabled", "-Y"}},
        {"iqlsqos:fs1:60",
         Dispatch::Run,
         B + "iqlsqos",
         {"iqlsqos", "fs1", "--pool", "all", "--seconds", "60", "-Y"}},
        // Later colons stay in the argument.
        {"iqdf:fs1:x", Dispatch::Run, B + "iqdf", {B + "iqdf", "fs1:x", "-Y"}},
        {"iqlsqos:fs1:60:7",
         Dispatch::Run,
         B + "iqlsqos",
         {"iqlsqos", "fs1", "--pool", "all", "--seconds", "60:7", "-Y"}},
        // A prefix row needs no ':' (the whole line is the argument) and
        // accepts anything between the word and the ':'.
        {"iqdf", Dispatch::Run, B + "iqdf", {B + "iqdf", "iqdf", "-Y"}},
        {"iqdfXYZ:fs1", Dispatch::Run, B + "iqdf", {B + "iqdf", "fs1", "-Y"}},
        {"iqlspool34:dfs0", Dispatch::Run, B + "iqlspool34", {B + "iqlspool34", "dfs0"}},
        // Whole-line rows take nothing more, not even a blank or a carriage return.
        {"fsInfo:x", Dispatch::Unknown, "", {}},
        {"throtlfslist ", Dispatch::Unknown, "", {}},
        {"fsInfo\r", Dispatch::Unknown, "", {}},
        {"", Dispatch::Unknown, "", {}},
        {"zsdInfo", Dispatch::Unknown, "", {}},   // AdmCmdRelay's word
        {"IQDF:fs1", Dispatch::Unknown, "", {}},  // words are case-sensitive
        // Empty arguments reach the tool as empty arguments.
        {"iqdf:", Dispatch::Run, B + "iqdf", {B + "iqdf", "", "-Y"}},
        {"drixversion:",
         Dispatch::Run,
         B + "peekreg",
         {B + "peekreg", "pkrq_node_info", "pkrq_product_version", ""}},
        // One colon: neither name nor period.
        {"iqlsqos:fs1",
         Dispatch::Run,
         B + "iqlsqos",
         {"iqlsqos", "", "--pool", "all", "--seconds", "", "-Y"}},
        {"iqlsqos::60",
         Dispatch::Run,
         B + "iqlsqos",
         {"iqlsqos", "", "--pool", "all", "--seconds", "60", "-Y"}},
        {"iqlsqos:fs1:",
         Dispatch::Run,
         B + "iqlsqos",
         {"iqlsqos", "fs1", "--pool", "all", "--seconds", "", "-Y"}},
        // Names that would reach the tool as options, or cut short.
        {"iqdf:-Y", Dispatch::Refused, "", {}},
        {"iqstatus:--help", Dispatch::Refused, "", {}},
        {std::string("iqdf:fs\0x", 9), Dispatch::Refused, "", {}},  // NUL would cut it short
        {"iqlsqos:fs1:-60", Dispatch::Refused, "", {}},             // period as an option
    };
    for (const Row& r : rows) {
        Dispatch d = CommandRelay::dispatchRequest(Capq::dispatchTable(), r.line, B);
        EXPECT_EQ(d.outcome, r.outcome) << r.line;
        EXPECT_EQ(d.cmd, r.cmd) << r.line;
        EXPECT_EQ(d.params, r.params) << r.line;
    }
}

TEST(CapqDispatch, RefusalNamesTheRequestAndTheCause) {
    const std::string nul("iqdf:a\0b", 8);
    const std::pair<std::string, std::string> rows[] = {
        {"iqdf:-Y", "Refused query iqdf:-Y: an argument begins with '-'"},
        {nul, "Refused query " + nul + ": an argument holds a NUL byte"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(CommandRelay::dispatchRequest(Capq::dispatchTable(), r.first, B).message,
                  r.second);
    }
}

TEST(CapqDispatch, ToolDirectoryComesFromTheCaller) {
    Dispatch d = CommandRelay::dispatchRequest(Capq::dispatchTable(), "iqdf:fs1", "/r/bin/");
    EXPECT_EQ(d.cmd, "/r/bin/iqdf");
    EXPECT_EQ(d.params[0], "/r/bin/iqdf");
}

}  // namespace
