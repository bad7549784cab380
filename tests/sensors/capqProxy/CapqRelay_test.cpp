// Runs the built CapqRelay against the argv-dump stand-in installed under
// every tool name in a temporary platform root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "stubs/StubHarness.h"

#if defined(__SANITIZE_THREAD__)
#define VELMAR_TSAN 1
#endif

namespace {

using StubHarness::RunResult;
using StubHarness::ScopedEnv;
using StubHarness::TempDir;

const std::string M = "_response_ capqEnd\n";

class CapqRelayTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path().empty());
        bin = tmp.path() + "/usr/vnx/qorm/bin/";
        ASSERT_TRUE(StubHarness::installTools(bin, ARGVDUMP,
                                              {"iqdf", "iqlsfileset", "iqlspool34", "iqlsqos",
                                               "iqrepquota", "iqstatus", "throtl", "peekreg"}));
        env.set("VELMAR_PLATFORM_ROOT", tmp.path().c_str());
        env.set("ARGVDUMP_ACTIONS", nullptr);
    }

    RunResult run(const std::string& input) { return StubHarness::runRelay(CAPQRELAY, input, M); }

    // The stand-in's report of its argument vector.
    static std::string dump(const std::vector<std::string>& argv) {
        std::string s = "argc=" + std::to_string(argv.size()) + "\n";
        for (std::size_t i = 0; i < argv.size(); ++i) {
            s += "argv[" + std::to_string(i) + "]=" + argv[i] + "\n";
        }
        return s;
    }

    TempDir tmp;
    std::string bin;
    ScopedEnv env;
};

TEST_F(CapqRelayTest, EveryRequestWordRunsItsToolWithItsVector) {
    RunResult r =
        run("fsInfo\n"
            "iqstatus:fs1\n"
            "iqlsfileset:fs1\n"
            "iqlspool:fs1\n"
            "quotaFSET:fs1\n"
            "iqdf:fs1\n"
            "drixversion:node1\n"
            "throtlfslist\n"
            "iqlsqos:fs1:60\n"
            "fsInfo:x\n"
            "\n"
            "zsdInfo\r\n"
            "iqdf:last-without-line-end");
    EXPECT_EQ(
        r.output,
        dump({"peekreg", "pkrq_fs_info", "all"}) + M + dump({bin + "iqstatus", "-m", "fs1"}) + M +
            dump({bin + "iqlsfileset", "fs1", "-Y"}) + M + dump({bin + "iqlspool34", "fs1"}) + M +
            dump({bin + "iqrepquota", "-Y", "-j", "fs1"}) + M + dump({bin + "iqdf", "fs1", "-Y"}) +
            M + dump({bin + "peekreg", "pkrq_node_info", "pkrq_product_version", "node1"}) + M +
            dump({"throtl", "fs", "listenabled", "-Y"}) + M +
            dump({"iqlsqos", "fs1", "--pool", "all", "--seconds", "60", "-Y"}) + M +
            // Unknown queries end with the marker too, so a reader never hangs.
            "Unknown query fsInfo:x\n" + M + "Unknown query \n" + M + "Unknown query zsdInfo\r\n" +
            M + dump({bin + "iqdf", "last-without-line-end", "-Y"}) + M);
    EXPECT_EQ(r.exitStatus, 0);
}

TEST_F(CapqRelayTest, ToolOutputPassesByteExactAndToolCannotReadRequests) {
    env.set("ARGVDUMP_ACTIONS", "out:one,err:two,long:2000,err:three,bytes,stdin");
    // The second request would be eaten by a tool that read the relay's input.
    RunResult r = run("iqdf:fs1\niqdf:fs2\n");
    std::string longLine;
    for (int i = 0; i < 2000; ++i) longLine += static_cast<char>('a' + i % 26);
    std::string bytes;
    for (int round = 0; round < 2; ++round) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    }
    std::string tail = "one\ntwo\n" + longLine + "\nthree\n" + bytes + "\nstdin=0\n" + M;
    EXPECT_EQ(r.output,
              dump({bin + "iqdf", "fs1", "-Y"}) + tail + dump({bin + "iqdf", "fs2", "-Y"}) + tail);
    EXPECT_EQ(r.exitStatus, 0);
}

TEST_F(CapqRelayTest, ToolsThatCannotRunAreAnsweredWithMarker) {
    ASSERT_EQ(unlink((bin + "iqdf").c_str()), 0);
    ASSERT_EQ(unlink((bin + "iqstatus").c_str()), 0);
    std::ofstream(bin + "iqstatus") << "#!/bin/sh\n";  // not executable
    chmod((bin + "iqstatus").c_str(), 0644);
    RunResult r = run("iqdf:fs1\niqstatus:fs1\niqlspool:fs1\n");
    EXPECT_EQ(r.output, "Could not execute " + bin + "iqdf: No such file or directory (2)\n" + M +
                            "Could not execute " + bin + "iqstatus: Permission denied (13)\n" + M +
                            dump({bin + "iqlspool34", "fs1"}) + M);
    EXPECT_EQ(r.exitStatus, 0);
}

TEST_F(CapqRelayTest, OptionLikeAndOverlongRequestsAreRefused) {
    std::string huge = "iqdf:" + std::string(5000, 'f');
    RunResult r = run("iqdf:-Y\niqlsqos:fs1:-1\n" + huge + "\niqdf:ok\n");
    EXPECT_EQ(r.output, "Refused query iqdf:-Y: an argument begins with '-'\n" + M +
                            "Refused query iqlsqos:fs1:-1: an argument begins with '-'\n" + M +
                            "Refused query longer than 4096 bytes\n" + M +
                            dump({bin + "iqdf", "ok", "-Y"}) + M);
}

TEST_F(CapqRelayTest, EmptyArgumentsRunTheTool) {
    RunResult r = run("iqlsqos:fs1\niqlsqos::60\n");
    EXPECT_EQ(r.output, dump({"iqlsqos", "", "--pool", "all", "--seconds", "", "-Y"}) + M +
                            dump({"iqlsqos", "", "--pool", "all", "--seconds", "60", "-Y"}) + M);
}

// The end line always stands on a line of its own.
TEST_F(CapqRelayTest, EndLineFollowsALineEnd) {
    struct Row {
        const char* actions;
        std::string tail;  // after the argument dump
    };
    const Row rows[] = {
        {"part:partial line no newline", "partial line no newline\n" + M},
        {"part:cut,selfkill", "cut\n" + M},  // killed mid-line
        {"out:whole", "whole\n" + M},        // nothing added
        {"out:first,part:second", "first\nsecond\n" + M},
    };
    for (const Row& row : rows) {
        env.set("ARGVDUMP_ACTIONS", row.actions);
        RunResult r = run("iqdf:fs1\n");
        EXPECT_EQ(r.output, dump({bin + "iqdf", "fs1", "-Y"}) + row.tail) << row.actions;
    }
}

TEST_F(CapqRelayTest, EndOfInputWhileIdleEndsQuietly) {
    RunResult r = run("");
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_FALSE(r.timedOut);
}

TEST_F(CapqRelayTest, FailedForkIsReportedInTheAnswer) {
#ifdef VELMAR_TSAN
    GTEST_SKIP() << "preloading a system-call shim is not supported under ThreadSanitizer";
#endif
    env.preload(FAILSYS);
    env.set("VELMAR_FAIL_FORK", "1");
    RunResult r = run("iqdf:fs1\nfsInfo\n");
    EXPECT_EQ(r.output, "Could not fork for " + bin +
                            "iqdf: Resource temporarily unavailable (11)\n" + M +
                            "Could not fork for " + bin +
                            "peekreg: Resource temporarily unavailable (11)\n" + M);
    EXPECT_EQ(r.exitStatus, 0);
}

TEST_F(CapqRelayTest, WaitsForToolsEvenWhenStartedWithSigchldIgnored) {
    // The daemon ignores SIGCHLD and the relay inherits that; it must set it
    // back, or it could not wait for its tools. Started by hand here, since
    // ChildProcess resets every signal.
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    const char* relay = CAPQRELAY;
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGCHLD, SIG_IGN);
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        char* argv[] = {const_cast<char*>(relay), nullptr};
        execv(relay, argv);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(in[0]);
    close(out[1]);
    const std::string req = "iqdf:fs1\n";
    ASSERT_EQ(write(in[1], req.data(), req.size()), static_cast<ssize_t>(req.size()));
    std::string output;
    char buf[4096];
    ssize_t n;
    // The input stays open until the answer is complete, as the daemon keeps it.
    while (output.find(M) == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0)
        output.append(buf, static_cast<std::size_t>(n));
    close(in[1]);
    while ((n = read(out[0], buf, sizeof buf)) > 0) output.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(output, dump({bin + "iqdf", "fs1", "-Y"}) + M);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

// The pids the hung tool stand-ins wrote, once there are `want` of them.
std::vector<pid_t> pidsIn(const std::string& file, std::size_t want) {
    std::vector<pid_t> pids;
    for (int waited = 0; pids.size() < want && waited < 5000; waited += 10) {
        usleep(10000);
        pids.clear();
        std::ifstream in(file);
        for (std::string l; std::getline(in, l);) pids.push_back(std::atoi(l.c_str()));
    }
    return pids;
}

// A hung tool and its child never outlive their relay, however the relay
// ends: told to end, losing its output's reader, given up by the daemon
// (signalled, both pipes closed), or killed outright. It acts as promptly
// when the tool has closed its output and only hangs.
TEST_F(CapqRelayTest, AHungToolEndsWithItsRelay) {
    const std::string canned = tmp.path() + "/canned";
    ASSERT_TRUE(StubHarness::makeDirs(canned));
    ASSERT_TRUE(StubHarness::installTools(bin, FAKECAPQTOOL, {"iqdf", "peekreg"}));
    const std::string zsdKey = "peekreg pkrq_zsd_info pkrq_zsd_name:pkrq_fs_name:pkrq_storage_pool";
    for (const std::string& key : {std::string("iqdf fs1 -Y"), zsdKey}) {
        for (const char* what : {".sleep", ".fork", ".noterm"})
            std::ofstream(canned + "/" + key + what) << "600000";
    }
    env.set("FAKECAPQ_DIR", canned.c_str());
    enum End { Signal, ReaderGone, Abandoned };
    const struct {
        const char* relay;
        End end;
        int signal;
        bool toolClosesOutput;
        int status;  // -2: either stop may win (signal or reader gone)
    } rows[] = {
        {CAPQRELAY, Signal, SIGTERM, false, 128 + SIGTERM},
        {CAPQRELAY, Signal, SIGHUP, false, 128 + SIGHUP},
        {CAPQRELAY, Signal, SIGINT, true, 128 + SIGINT},
        {CAPQRELAY, Signal, SIGTERM, true, 128 + SIGTERM},
        {CAPQRELAY, ReaderGone, 0, false, 128 + SIGPIPE},
        {CAPQRELAY, ReaderGone, 0, true, 128 + SIGPIPE},
        {CAPQRELAY, Abandoned, SIGTERM, true, -2},
        {CAPQRELAY, Signal, SIGKILL, false, 128 + SIGKILL},  // no clean-up of its own
        {CAPQRELAY, Signal, SIGKILL, true, 128 + SIGKILL},
        {ADMCMDRELAY, Signal, SIGKILL, false, 128 + SIGKILL},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string what = std::to_string(n++);
        const bool adm = row.relay == std::string(ADMCMDRELAY);
        const std::string key = adm ? zsdKey : "iqdf fs1 -Y";
        if (row.toolClosesOutput) {
            std::ofstream(canned + "/" + key + ".close");
        } else {
            unlink((canned + "/" + key + ".close").c_str());
        }
        const std::string pidFile = tmp.path() + "/pids" + what;
        env.set("FAKECAPQ_PIDS", pidFile.c_str());
        ChildProcess relay;
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Pipe;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(relay.start(row.relay, {row.relay}, o).ok());
        ASSERT_EQ(relay.writeAll(adm ? "zsdInfo\n" : "iqdf:fs1\n", 1000), FdIo::IoResult::Ok);
        const std::vector<pid_t> pids = pidsIn(pidFile, 2);
        ASSERT_EQ(pids.size(), 2u) << what;
        if (row.signal != 0) relay.signal(row.signal);
        if (row.end != Signal) relay.closeOutput();
        if (row.end == Abandoned) relay.closeInput();
        const int status = StubHarness::exitCodeOf(relay.wait(5000));
        if (row.status != -2) {
            EXPECT_EQ(status, row.status) << what;
        }
        for (pid_t pid : pids) {
            for (int waited = 0; StubHarness::running(pid) && waited < 5000; waited += 10)
                usleep(10000);
            EXPECT_FALSE(StubHarness::running(pid)) << what;
        }
    }
}

// End of input is not a stop: every request read before it is answered, also
// when it comes while a tool runs, and a last request without a line end.
TEST_F(CapqRelayTest, PipedRequestsAreAllAnsweredAfterEndOfInput) {
    const std::string canned = tmp.path() + "/canned";
    ASSERT_TRUE(StubHarness::makeDirs(canned));
    ASSERT_TRUE(StubHarness::installTools(bin, FAKECAPQTOOL, {"iqstatus"}));
    std::ofstream(canned + "/iqstatus -m fs1.sleep") << "300";
    std::ofstream(canned + "/iqstatus -m fs1.out") << "fs1 up\n";
    std::ofstream(canned + "/iqstatus -m fs2.out") << "fs2 up\n";
    env.set("FAKECAPQ_DIR", canned.c_str());
    for (const char* input : {"iqstatus:fs1\niqstatus:fs2\n", "iqstatus:fs1\niqstatus:fs2"}) {
        // Unlike the daemon, the input is closed at once, before any answer.
        RunResult r = StubHarness::runProgram(CAPQRELAY, input);
        EXPECT_EQ(r.output, "fs1 up\n" + M + "fs2 up\n" + M) << input;
        EXPECT_EQ(r.exitStatus, 0) << input;
    }
}

// Once an answer is complete the relay has no process left: the tool,
// everything it used to watch over the tool, and whatever the tool left in
// its group when it ended (a stand-in tool whose forked child stays
// behind, its output closed or still open) are gone. A child that holds
// the tool's output does not hold back the answer past the grace. Every row
// runs as the kernel allows and as on one that refuses to signal a group
// through a pidfd (before Linux 6.9). A child that left the group (a daemon)
// is not ended, but once it ends by itself it is reaped while the relay
// waits for its next request.
TEST_F(CapqRelayTest, AnAnsweredRequestLeavesNoChildBehind) {
    const std::string canned = tmp.path() + "/canned";
    ASSERT_TRUE(StubHarness::makeDirs(canned));
    ASSERT_TRUE(StubHarness::installTools(bin, FAKECAPQTOOL, {"iqstatus"}));
    env.set("FAKECAPQ_DIR", canned.c_str());
    const std::string key = canned + "/iqstatus -m fs1";
    const struct {
        const char* request;
        bool leavesChild;
        bool childIgnoresTerm;
        bool childKeepsOutput;
        bool childLeavesGroup;
    } rows[] = {
        {"iqdf:fs1", false, false, false, false},   {"iqstatus:fs1", true, false, false, false},
        {"iqstatus:fs1", true, true, false, false},  // needs the SIGKILL after the grace
        {"iqstatus:fs1", true, false, true, false}, {"iqstatus:fs1", true, true, true, false},
        {"iqstatus:fs1", true, false, false, true},  // ends 0.3 s after the answer
    };
    bool refusedRuns[] = {false, true};
#ifdef VELMAR_TSAN
    // The refusal is preloaded, which ThreadSanitizer does not support.
    refusedRuns[1] = false;
#endif
    int n = 0;
    for (const bool refused : refusedRuns) {
        if (refused) {
            env.preload(FAILSYS);
            env.set("VELMAR_REFUSE_PIDFD_GROUP", "1");
        }
        for (const auto& row : rows) {
            const std::string what = std::to_string(n++) + (refused ? " refused" : "");
            const std::string pidFile = tmp.path() + "/pids" + what;
            env.set("FAKECAPQ_PIDS", pidFile.c_str());
            for (const char* part : {".fork", ".stay"}) std::ofstream(key + part);
            if (!row.childKeepsOutput) std::ofstream(key + ".close");
            std::ofstream(key + ".sleep") << (row.childLeavesGroup ? "300" : "600000");
            if (row.childIgnoresTerm) std::ofstream(key + ".noterm");
            if (row.childLeavesGroup) std::ofstream(key + ".detach");
            ChildProcess relay;
            ChildProcess::Options o;
            o.input = ChildProcess::Input::Pipe;
            o.error = ChildProcess::ErrorOutput::Inherit;
            ASSERT_TRUE(relay.start(CAPQRELAY, {CAPQRELAY}, o).ok());
            const auto begin = std::chrono::steady_clock::now();
            ASSERT_EQ(relay.writeAll(row.request + std::string("\n"), 1000), FdIo::IoResult::Ok);
            const std::string answer = StubHarness::readUntil(relay, M);
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            EXPECT_EQ(answer, row.leavesChild ? M : dump({bin + "iqdf", "fs1", "-Y"}) + M) << what;
            // The grace is 0.5 s; the rest is margin for a loaded machine.
            EXPECT_LT(took, 3.0) << what;
            const std::string self = std::to_string(relay.pid());
            bool opened = false;
            std::string children;
            // A daemon's end, and then its reaping, get a bound of their own.
            for (int waited = 0; waited <= (row.childLeavesGroup ? 3000 : 0); waited += 10) {
                std::ifstream in("/proc/" + self + "/task/" + self + "/children");
                opened = in.is_open();
                children.assign(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
                if (children.empty()) break;
                usleep(10000);
            }
            EXPECT_TRUE(opened) << what;
            EXPECT_EQ(children, "") << what;
            if (row.leavesChild) {
                const std::vector<pid_t> pids = pidsIn(pidFile, 2);
                ASSERT_EQ(pids.size(), 2u) << what;
                for (pid_t pid : pids) {
                    for (int waited = 0; StubHarness::running(pid) && waited < 5000; waited += 10)
                        usleep(10000);
                    EXPECT_FALSE(StubHarness::running(pid)) << what;
                    // Never left running, whatever the outcome.
                    if (StubHarness::running(pid)) kill(pid, SIGKILL);
                }
            }
            relay.closeInput();
            EXPECT_EQ(StubHarness::exitCodeOf(relay.wait(5000)), 0) << what;
            for (const char* part : {".fork", ".close", ".stay", ".sleep", ".noterm", ".detach"})
                unlink((key + part).c_str());
        }
    }
}

}  // namespace
