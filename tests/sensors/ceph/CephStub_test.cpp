#include "CephStub.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "CephTestSupport.h"

namespace {

using namespace CephTest;

const std::string CLUSTER_TEXT =
    "cluster_name:c1,kb:100,kb_used:40,kb_avail:60,num_objects:7\n"
    "cluster_name:c2,kb:200,kb_used:80,kb_avail:120,num_objects:14\n";

// Descriptors above 2 open in this process without close-on-exec, in the
// format of the relay's "fds=" field.
std::string inheritableFds() {
    std::string out;
    for (int fd = 3; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            out += (out.empty() ? "" : ",") + std::to_string(fd);
    }
    return out;
}

class CephStubTest : public Fixture {
  protected:
    void TearDown() override {
        CephStub::setReplyTimeoutMs(30000);
        Fixture::TearDown();
    }

    // Waits until a restart is allowed after a start attempt at `since`.
    static void waitPastThrottle(time_t since) {
        while (monotonicSeconds() <= since + 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};

TEST_F(CephStubTest, ReplyIsTheLinesBeforeTheEndLine) {
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), CLUSTER_TEXT);
    // A reply of only the end line is empty, like a failed query.
    EXPECT_EQ(stub->executeQuery("unknown"), "");
    EXPECT_EQ(stub->executeQuery("cluster"), CLUSTER_TEXT);
    CephStub::closeInstance();
    EXPECT_TRUE(waitForRelayLog(" eof"));
    const std::string asked = relayLog();
    EXPECT_EQ(countOf(asked, " request cluster\n"), 2u);
    EXPECT_EQ(countOf(asked, " request unknown\n"), 1u);
}

// A relay that answers every request twice: each request still gets its own
// reply, never the copy of the one before.
TEST_F(CephStubTest, ASurplusReplyNeverAnswersALaterRequest) {
    env.set("CEPHRELAY_MODE", "twice");
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(stub->executeQuery("cluster"), CLUSTER_TEXT) << i;
        const std::string pool = stub->executeQuery("pool");
        EXPECT_EQ(pool.find("cluster_name:c1,pool_name:rbd,"), 0u) << pool;
        EXPECT_EQ(pool.find("kb_used"), std::string::npos) << pool;
    }
    CephStub::closeInstance();
}

TEST_F(CephStubTest, OnlyAWholeDotLineEndsTheReply) {
    // None of these lines is the end line; the reply runs to the real one.
    const std::string reply = " .\n..\n. \n.x\nkb:1\n";
    setReply("cluster", reply);
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), reply);
    CephStub::closeInstance();

    // The same reply written one byte at a time: the end line and every other
    // line arrive split over many reads.
    env.set("CEPHRELAY_MODE", "trickle");
    stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), reply);
    EXPECT_EQ(stub->executeQuery("cluster"), reply);
    CephStub::closeInstance();
}

TEST_F(CephStubTest, HoldersShareOneRelayUntilTheLastRelease) {
    CephStub* a = CephStub::getInstance();
    CephStub* b = CephStub::getInstance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a->executeQuery("cluster").empty());
    EXPECT_FALSE(b->executeQuery("pool").empty());

    CephStub::closeInstance();
    EXPECT_FALSE(b->executeQuery("pool").empty());
    EXPECT_EQ(relayLog().find(" eof"), std::string::npos);
    EXPECT_EQ(relayStarts().size(), 1u);

    CephStub::closeInstance();
    EXPECT_TRUE(waitForRelayLog(" eof"));

    // A bind after the last release starts a fresh channel.
    CephStub* c = CephStub::getInstance();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->executeQuery("cluster"), CLUSTER_TEXT);
    CephStub::closeInstance();
    const auto starts = relayStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NE(starts[0], starts[1]);
    for (const std::string& l : lines(relayLog())) {
        if (l.find(" request ") != std::string::npos && l.find(starts[1]) != 0) {
            EXPECT_EQ(l.find(starts[0]), 0u) << l;
        }
    }
}

TEST_F(CephStubTest, RelayStartsWithDefaultSignalsAndPipesStayPrivate) {
    // This process ignores SIGPIPE and SIGCHLD, as the daemon does.
    const std::string before = inheritableFds();
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    stub->executeQuery("cluster");
    // The channel's pipe ends are close-on-exec: no child started later
    // (another relay, a tool) can hold the relay's input open.
    EXPECT_EQ(inheritableFds(), before);
    CephStub::closeInstance();
    const auto all = lines(relayLog());
    ASSERT_FALSE(all.empty());
    EXPECT_NE(all[0].find(" start sigpipe=dfl sigchld=dfl fds=" + before), std::string::npos)
        << all[0];
}

TEST_F(CephStubTest, RunsTheCheckedFileNotANamesakeFoundInPath) {
    // A relay named without "/" is the file of that name in the working
    // directory, which the access check found; an impostor of the same name
    // in PATH must not run instead.
    const std::string work = dir.path() + "/work";
    const std::string bin = dir.path() + "/bin";
    ASSERT_TRUE(StubHarness::makeDirs(work));
    ASSERT_TRUE(StubHarness::makeDirs(bin));
    ASSERT_TRUE(StubHarness::installTools(work, relayPath, {"cephrelay-local"}));
    {
        std::ofstream impostor(bin + "/cephrelay-local");
        impostor << "#!/bin/sh\necho \"$$ impostor\" >> \"$CEPHRELAY_LOG\"\n";
    }
    ASSERT_EQ(chmod((bin + "/cephrelay-local").c_str(), 0755), 0);
    env.set("PATH", bin.c_str());
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(work.c_str()), 0);
    setRelay("cephrelay-local");

    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), CLUSTER_TEXT);
    CephStub::closeInstance();
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(relayLog().find("impostor"), std::string::npos);
    EXPECT_EQ(relayStarts().size(), 1u);
}

TEST_F(CephStubTest, SilentRelayIsTimedOutThenRestartedAfterTheThrottle) {
    CephStub::setReplyTimeoutMs(300);
    env.set("CEPHRELAY_MODE", "silent");
    const time_t started = monotonicSeconds();
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stub->executeQuery("cluster"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    // The silent relay was let go: it sees the end of its input.
    EXPECT_TRUE(waitForRelayLog(" eof"));

    // Within the throttle nothing is started and the answer is empty at once.
    if (monotonicSeconds() <= started + 2) {
        EXPECT_EQ(stub->executeQuery("cluster"), "");
        EXPECT_EQ(relayStarts().size(), 1u);
    }
    env.set("CEPHRELAY_MODE", "normal");
    waitPastThrottle(started);
    EXPECT_EQ(stub->executeQuery("cluster"), CLUSTER_TEXT);
    EXPECT_EQ(relayStarts().size(), 2u);
    CephStub::closeInstance();
    EXPECT_NE(daemonLog().find("Ceph relay did not answer cluster within 300 ms; closing it"),
              std::string::npos);
}

// A relay that has started a child of its own: the stop, while the relay
// hangs on a query, ends both (time-outs and closes end the group through
// the same channel core as the generic proxy's). A relay killed while its
// child, deaf to SIGTERM, holds its output fails the query at once, and the
// next one after the restart gap is answered. As the kernel allows and as on
// one that refuses to signal a group through a pidfd (before Linux 6.9).
TEST_F(CephStubTest, TheStopOrTheRelaysEndEndsItsChildren) {
    CephStub::setReplyTimeoutMs(60000);
    std::size_t rows = 0;
    for (const bool refused : {false, true}) {
        ChildProcess::refuseGroupPidfdSignal(refused);
        for (const std::string end : {"stop", "killed"}) {
            SCOPED_TRACE(end + (refused ? ", refused" : ""));
            env.set("CEPHRELAY_SPAWN", end == "killed" ? "deaf" : "1");
            env.set("CEPHRELAY_MODE", end == "killed" ? "die" : "silent");
            CephStub* stub = CephStub::getInstance();
            ASSERT_NE(stub, nullptr);
            ++rows;
            for (int i = 0; i < 500 && countOf(relayLog(), " spawned ") < rows; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::vector<std::string> log = lines(relayLog());
            std::string spawned;
            for (const std::string& l : log)
                if (l.find(" spawned ") != std::string::npos) spawned = l;
            const pid_t relay = std::atoi(spawned.c_str());
            const pid_t child = std::atoi(spawned.c_str() + spawned.rfind(' '));
            ASSERT_GT(relay, 0);
            ASSERT_GT(child, 0);
            const auto t0 = std::chrono::steady_clock::now();
            if (end == "stop") {
                std::thread query([stub] { EXPECT_EQ(stub->executeQuery("cluster"), ""); });
                EXPECT_TRUE(waitForRelayLog(std::to_string(relay) + " request cluster"));
                ChildChannel::abandonForStop();
                query.join();
                EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
            } else {
                EXPECT_EQ(stub->executeQuery("cluster"),
                          CLUSTER_TEXT.substr(0, CLUSTER_TEXT.find('\n') + 1));
                EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
                env.set("CEPHRELAY_SPAWN", nullptr);
                env.set("CEPHRELAY_MODE", "normal");
                std::string again;
                for (int i = 0; i < 100 && again.empty(); ++i) {
                    again = stub->executeQuery("cluster");
                    if (again.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                EXPECT_EQ(again, CLUSTER_TEXT);
            }
            CephStub::closeInstance();
            for (const pid_t pid : {relay, child}) {
                for (int i = 0; i < 300 && StubHarness::running(pid); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                EXPECT_FALSE(StubHarness::running(pid)) << pid;
                if (StubHarness::running(pid)) kill(pid, SIGKILL);
            }
        }
    }
    ChildProcess::refuseGroupPidfdSignal(false);
    EXPECT_NE(daemonLog().find(
                  "Ceph relay ended before its answer to cluster was complete; closing it"),
              std::string::npos);
}

TEST_F(CephStubTest, RelayEndingWithoutEndLineYieldsTheTextSoFar) {
    env.set("CEPHRELAY_MODE", "noend");
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), CLUSTER_TEXT);
    // The relay has gone; until the throttle allows a restart the channel
    // answers empty without starting anything.
    EXPECT_EQ(stub->executeQuery("cluster"), "");
    CephStub::closeInstance();
    EXPECT_EQ(relayStarts().size(), 1u);
}

TEST_F(CephStubTest, OverlongLinesAndRepliesAreDropped) {
    setReply("cluster", std::string(CephStub::MAX_LINE + 10, 'x') + "\nkb:1\n");
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), "kb:1\n");
    CephStub::closeInstance();

    // A relay that never stops talking is cut off at the reply limit.
    env.set("CEPHRELAY_MODE", "flood");
    stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), "");
    CephStub::closeInstance();
    const std::string log = daemonLog();
    EXPECT_NE(log.find("Dropped a reply line of more than 65536 bytes from the ceph relay"),
              std::string::npos);
    EXPECT_NE(log.find("Reply of the ceph relay to cluster exceeds 16777216 bytes; dropped"),
              std::string::npos);
}

TEST_F(CephStubTest, UnusableRelayGivesNullAndOneMessage) {
    unsetRelay();
    EXPECT_EQ(CephStub::getInstance(), nullptr);
    EXPECT_EQ(CephStub::getInstance(), nullptr);
    // Holders that got null balance nothing in the sensors; release the two
    // counts here so that the next bind is a fresh start.
    CephStub::closeInstance();
    CephStub::closeInstance();

    const std::string plain = dir.path() + "/not-executable";
    std::ofstream(plain) << "#!/bin/sh\n";
    setRelay(plain);
    EXPECT_EQ(CephStub::getInstance(), nullptr);
    CephStub::closeInstance();

    // Executable but not a program: the start fails; the channel stays bound
    // and answers empty.
    const std::string bogus = dir.path() + "/bogus";
    std::ofstream(bogus) << "\x7f"
                         << "ELF garbage";
    ASSERT_EQ(chmod(bogus.c_str(), 0755), 0);
    setRelay(bogus);
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("cluster"), "");
    CephStub::closeInstance();

    const std::string log = daemonLog();
    EXPECT_EQ(countOf(log, "CephRelay  doesn't exist or is not executable. Pls check config"), 1u);
    EXPECT_EQ(countOf(log, "CephRelay " + plain +
                               " doesn't exist or is not executable. Pls check config"),
              1u);
    EXPECT_NE(log.find("Could not execute " + bogus + "! Exec format error"), std::string::npos);
    EXPECT_NE(log.find("Could not connect to ceph proxy."), std::string::npos);
}

TEST_F(CephStubTest, ConcurrentQueriesTakeTurns) {
    CephStub* stub = CephStub::getInstance();
    ASSERT_NE(stub, nullptr);
    ASSERT_EQ(CephStub::getInstance(), stub);
    const std::string pool = stub->executeQuery("pool");
    ASSERT_FALSE(pool.empty());
    int badCluster = 0, badPool = 0;
    std::thread t1([&] {
        for (int i = 0; i < 200; ++i) badCluster += stub->executeQuery("cluster") != CLUSTER_TEXT;
    });
    std::thread t2([&] {
        for (int i = 0; i < 200; ++i) badPool += stub->executeQuery("pool") != pool;
    });
    t1.join();
    t2.join();
    EXPECT_EQ(badCluster, 0);
    EXPECT_EQ(badPool, 0);
    std::thread r1([] { CephStub::closeInstance(); });
    std::thread r2([] { CephStub::closeInstance(); });
    r1.join();
    r2.join();
    EXPECT_TRUE(waitForRelayLog(" eof"));
    EXPECT_EQ(relayStarts().size(), 1u);
}

}  // namespace
