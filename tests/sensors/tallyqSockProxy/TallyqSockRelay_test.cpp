// Runs the built TallyqSockRelay against the fake statistics server on a
// UNIX socket inside a temporary platform root.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "stubs/StubHarness.h"

#if defined(__SANITIZE_THREAD__)
#define VELMAR_TSAN 1
#endif

namespace {

using Clock = std::chrono::steady_clock;
using StubHarness::ScopedEnv;
using StubHarness::TempDir;

const std::string socketPath = "/var/qorm/tallyq/tallyqSocket";

class TallyqSockRelayTest : public testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(tmp.path().empty());
        ASSERT_TRUE(StubHarness::makeDirs(tmp.path() + "/var/qorm/tallyq"));
        env.set("VELMAR_PLATFORM_ROOT", tmp.path().c_str());
    }
    void TearDown() override {
        server.signal(SIGKILL);
        server.wait(-1);
    }

    void startServer(const std::string& mode) {
        ChildProcess::Options o;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(
            server.start(TALLYQSERVER, {"tallyqserver", tmp.path() + socketPath, mode}, o).ok());
        ASSERT_EQ(StubHarness::readUntil(server, "ready\n", 10000), "ready\n");
    }
    // What the server read from its client, once it has ended.
    std::string serverReport() {
        std::string s = StubHarness::readUntil(server, "\n", 10000);
        server.wait(10000);
        server.release();
        return s;
    }
    void startRelay() {
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Pipe;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(relay.start(TALLYQSOCKRELAY, {TALLYQSOCKRELAY}, o).ok());
    }
    std::string readN(std::size_t n) {
        std::string out;
        char buf[65536];
        while (out.size() < n) {
            std::size_t got = 0;
            if (relay.read(buf, std::min(sizeof buf, n - out.size()), got, 10000) !=
                FdIo::IoResult::Ok) {
                break;
            }
            out.append(buf, got);
        }
        return out;
    }
    int relayExit(int timeoutMs = 10000) { return StubHarness::exitCodeOf(relay.wait(timeoutMs)); }

    TempDir tmp;
    ScopedEnv env;
    ChildProcess server;
    ChildProcess relay;
};

TEST_F(TallyqSockRelayTest, MissingSocketIsReported) {
    StubHarness::RunResult r = StubHarness::runProgram(TALLYQSOCKRELAY, "");
    EXPECT_EQ(r.output,
              "Failed to connect to " + tmp.path() + socketPath + ": No such file or directory\n");
    EXPECT_EQ(r.exitStatus, 255);
}

TEST_F(TallyqSockRelayTest, SocketPathTooLongIsRefused) {
    // Would otherwise be cut to 107 bytes and name some other socket.
    std::string root = tmp.path() + "/" + std::string(100, 'd');
    env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    StubHarness::RunResult r = StubHarness::runProgram(TALLYQSOCKRELAY, "");
    EXPECT_EQ(r.output, "Failed to connect to " + root + socketPath + ": File name too long\n");
    EXPECT_EQ(r.exitStatus, 255);
}

TEST_F(TallyqSockRelayTest, MegabyteOfRandomBytesRoundTrips) {
    startServer("echo");
    startRelay();
    std::mt19937 rng(12345);
    std::string data(1 << 20, '\0');
    for (char& c : data) c = static_cast<char>(rng() % 7 == 0 ? 0 : rng());  // plenty of NULs
    // Write and read in turn: the echo comes back while the rest is still going out.
    std::string echoed;
    std::size_t written = 0;
    char buf[65536];
    FdIo::Deadline deadline(60000);
    while (echoed.size() < data.size() && !deadline.passed()) {
        if (written < data.size()) {
            std::size_t slice = std::min<std::size_t>(4096, data.size() - written);
            if (relay.writeAll(data.data() + written, slice, 0) == FdIo::IoResult::Ok) {
                written += slice;
            }
        }
        std::size_t got = 0;
        if (relay.read(buf, sizeof buf, got, 1) == FdIo::IoResult::Ok) echoed.append(buf, got);
    }
    EXPECT_TRUE(echoed == data) << "echoed " << echoed.size() << " of " << data.size() << " bytes";

    relay.closeInput();
    EXPECT_EQ(relayExit(), 0);
    EXPECT_EQ(serverReport(), "received=1048576\n");
}

TEST_F(TallyqSockRelayTest, EndOfInputEndsWithinASecondAndIdleGapsDoNot) {
    startServer("echo");
    startRelay();
    ASSERT_EQ(relay.writeAll(std::string("ping\n"), 5000), FdIo::IoResult::Ok);
    EXPECT_EQ(readN(5), "ping\n");
    // After the first data in both directions, quiet periods are no reason to end.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_EQ(relay.writeAll(std::string("again\n"), 5000), FdIo::IoResult::Ok);
    EXPECT_EQ(readN(6), "again\n");

    // Both direction threads carry their names.
    std::set<std::string> names;
    std::string task = "/proc/" + std::to_string(relay.pid()) + "/task";
    if (DIR* d = opendir(task.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string comm;
            std::getline(std::ifstream(task + "/" + e->d_name + "/comm"), comm);
            if (!comm.empty()) names.insert(comm);
        }
        closedir(d);
    }
    EXPECT_EQ(names.count("FromTo thread"), 1u);
    EXPECT_EQ(names.count("ToFrom thread"), 1u);

    Clock::time_point t0 = Clock::now();
    relay.closeInput();
    EXPECT_EQ(relayExit(), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.5);
    EXPECT_EQ(serverReport(), "received=11\n");
    char c;
    std::size_t got = 0;
    EXPECT_EQ(relay.read(&c, 1, got, 1000), FdIo::IoResult::Eof);
}

TEST_F(TallyqSockRelayTest, SilentStarterSeesTheRelayEnd) {
    startServer("echo");
    startRelay();
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(relayExit(), 0);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(s, 0.9);
    EXPECT_LT(s, 3.0);
    EXPECT_EQ(serverReport(), "received=0\n");
}

TEST_F(TallyqSockRelayTest, FacilityHangUpEndsTheRelay) {
    startServer("hangup");
    startRelay();
    EXPECT_EQ(relayExit(), 0);
    char c;
    std::size_t got = 0;
    EXPECT_EQ(relay.read(&c, 1, got, 1000), FdIo::IoResult::Eof);
}

TEST_F(TallyqSockRelayTest, ReaderGoneDoesNotKillTheRelay) {
    startServer("echo");
    startRelay();
    relay.closeOutput();
    // The echo's write to the closed output fails instead of raising SIGPIPE.
    ASSERT_EQ(relay.writeAll(std::string("x"), 5000), FdIo::IoResult::Ok);
    EXPECT_EQ(relayExit(), 0);
}

TEST_F(TallyqSockRelayTest, FailedThreadStartEndsWithAnError) {
#ifdef VELMAR_TSAN
    GTEST_SKIP() << "preloading a system-call shim is not supported under ThreadSanitizer";
#endif
    env.preload(FAILSYS);
    for (const char* which : {"1", "2"}) {
        startServer("echo");
        env.set("VELMAR_FAIL_THREAD", which);
        StubHarness::RunResult r = StubHarness::runProgram(TALLYQSOCKRELAY, "", 10000);
        EXPECT_EQ(r.output,
                  "Creation of thread failed with error: Resource temporarily unavailable\n")
            << which;
        EXPECT_EQ(r.exitStatus, 255) << which;
        EXPECT_EQ(serverReport(), "received=0\n") << which;
    }
}

}  // namespace
