#include "ToolOutput.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ToolSensorTestUtil.h"
#include "stubs/StubHarness.h"

namespace {

// Each host tool stand-in, once answering while a child it left (which
// ignores SIGTERM) holds its output open, once hung with that child: the
// answer is taken whole at once, a hung tool is ended at the time-out, and
// either way nothing of the tool's group is left. Every row runs as the
// kernel allows and as on one that refuses to signal a group through a pidfd
// (before Linux 6.9).
class ToolRunTest : public tooltest::ToolRoot {};

TEST_F(ToolRunTest, EndsTheToolsWholeGroupAtTheAnswerAndAtTheTimeOut) {
    installLink("fake_df.sh", "/bin/df");
    installLink("fake_ibstatus.sh", "/usr/sbin/ibstatus");
    installLink("fake_hddtemp.sh", "/usr/sbin/hddtemp");
    ASSERT_TRUE(tooltest::shell("mkdir -p '" + at("/usr/sbin/hddtemp.replies") + "'"));
    struct Row {
        const char* tool;
        std::vector<std::string> args;
        const char* control;  // prefix of the .fork and .hang files
        const char* reply;    // the file it prints
    } const rows[] = {
        {"/bin/df", {"-k"}, "/bin/df", "/bin/df.out"},
        {"/usr/sbin/ibstatus", {}, "/usr/sbin/ibstatus", "/usr/sbin/ibstatus.out"},
        {"/usr/sbin/hddtemp",
         {"-n", "/dev/sda"},
         "/usr/sbin/hddtemp.replies/sda",
         "/usr/sbin/hddtemp.replies/sda"},
    };
    for (const bool refused : {false, true}) {
        ChildProcess::refuseGroupPidfdSignal(refused);
        for (const Row& r : rows) {
            for (const bool hung : {false, true}) {
                SCOPED_TRACE(std::string(r.tool) + (hung ? " hung" : " answers") +
                             (refused ? ", group pidfd signal refused" : ""));
                tooltest::writeFile(at(r.reply), "answer\n");
                tooltest::writeFile(at(std::string(r.control) + ".fork"), "");
                const std::string hang = at(std::string(r.control) + ".hang");
                if (hung) tooltest::writeFile(hang, "");
                if (!hung) unlink(hang.c_str());
                const std::string pids = at(r.tool) + ".pids";
                unlink(pids.c_str());
                std::vector<std::string> argv = {at(r.tool)};
                argv.insert(argv.end(), r.args.begin(), r.args.end());
                std::string out;
                const ToolResult got = runTool(at(r.tool), argv, 1000, 4096, out);
                EXPECT_EQ(got, hung ? ToolResult::TimedOut : ToolResult::Ok);
                if (!hung) {
                    EXPECT_EQ(out, "answer\n");
                }
                const std::vector<std::string> started = tooltest::readLines(pids);
                ASSERT_EQ(started.size(), 2u);
                for (const std::string& p : started) {
                    const pid_t pid = std::stoi(p);
                    // SIGKILL takes effect as soon as the process is next scheduled.
                    for (int i = 0; i < 200 && StubHarness::running(pid); ++i) usleep(10000);
                    EXPECT_FALSE(StubHarness::running(pid)) << pid;
                    if (StubHarness::running(pid)) kill(pid, SIGKILL);
                }
            }
        }
    }
    ChildProcess::refuseGroupPidfdSignal(false);
}

}  // namespace
