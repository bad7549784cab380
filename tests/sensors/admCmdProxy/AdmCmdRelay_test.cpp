// AdmCmdRelay's dispatch table, and the built program run against the
// argv-dump stand-in installed as the repository query tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "AdmCmdDispatch.h"
#include "CommandRelay.h"
#include "stubs/StubHarness.h"

namespace {

using CommandRelay::Dispatch;
using StubHarness::RunResult;
using StubHarness::ScopedEnv;
using StubHarness::TempDir;

const std::string M = "_response_ admCmdEnd\n";
const std::string zsdFields = "pkrq_zsd_name:pkrq_fs_name:pkrq_storage_pool";

TEST(AdmCmdDispatch, OnlyTheTwoWholeLineWordsMatch) {
    const std::string B = "/usr/vnx/qorm/bin/";
    struct Row {
        std::string line;
        Dispatch::Outcome outcome;
        std::vector<std::string> params;
    } rows[] = {
        {"zsdInfo", Dispatch::Run, {"peekreg", "pkrq_zsd_info", zsdFields}},
        {"clusterName", Dispatch::Run, {"peekreg", "pkrq_cluster_info", "pkrq_cluster_name"}},
        {"zsdInfo\r", Dispatch::Unknown, {}},  // a carriage return stays part of the request
        {"zsdInfo:x", Dispatch::Unknown, {}},
        {"clusterName ", Dispatch::Unknown, {}},
        {"iqdf:fs1", Dispatch::Unknown, {}},  // CapqRelay's word
    };
    for (const Row& r : rows) {
        Dispatch d = CommandRelay::dispatchRequest(AdmCmd::dispatchTable(), r.line, B);
        EXPECT_EQ(d.outcome, r.outcome) << r.line;
        EXPECT_EQ(d.params, r.params) << r.line;
        EXPECT_EQ(d.cmd, r.outcome == Dispatch::Run ? B + "peekreg" : "") << r.line;
    }
}

TEST(AdmCmdRelay, AnswersWithTheToolOutputAndItsOwnMarker) {
    TempDir tmp;
    std::string bin = tmp.path() + "/usr/vnx/qorm/bin/";
    ASSERT_TRUE(StubHarness::installTools(bin, ARGVDUMP, {"peekreg"}));
    ScopedEnv env;
    env.set("VELMAR_PLATFORM_ROOT", tmp.path().c_str());
    env.set("ARGVDUMP_ACTIONS", "err:warn");
    RunResult r = StubHarness::runRelay(ADMCMDRELAY, "zsdInfo\nclusterName\nzsdInfo\r\n", M);
    EXPECT_EQ(r.output, "argc=3\nargv[0]=peekreg\nargv[1]=pkrq_zsd_info\nargv[2]=" + zsdFields +
                            "\nwarn\n" + M +
                            "argc=3\nargv[0]=peekreg\nargv[1]=pkrq_cluster_info\nargv[2]=pkrq_"
                            "cluster_name\nwarn\n" +
                            M + "Unknown query zsdInfo\r\n" + M);
    EXPECT_EQ(r.exitStatus, 0);

    // Output without a final line end still leaves the marker a line of its own.
    env.set("ARGVDUMP_ACTIONS", "part:cut");
    r = StubHarness::runRelay(ADMCMDRELAY, "clusterName\n", M);
    EXPECT_EQ(r.output,
              "argc=3\nargv[0]=peekreg\nargv[1]=pkrq_cluster_info\nargv[2]=pkrq_"
              "cluster_name\ncut\n" +
                  M);

    ASSERT_EQ(unlink((bin + "peekreg").c_str()), 0);
    r = StubHarness::runRelay(ADMCMDRELAY, "zsdInfo\n", M);
    EXPECT_EQ(r.output,
              "Could not execute " + bin + "peekreg: No such file or directory (2)\n" + M);
    EXPECT_EQ(r.exitStatus, 0);
}

}  // namespace
