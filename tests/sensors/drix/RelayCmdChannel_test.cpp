// The command relay channel against the failing stand-in relay
// (tests/stubs/cmdrelay.cpp): RelayChannelTest drives channel objects of its
// own; RelayCmdStubTest drives the two singletons, which live once per
// process, so CTest runs each of those cases alone.
#include "RelayCmdChannel.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ADMCmdStub.h"
#include "CAPQStub.h"
#include "Configuration.h"
#include "LoggerBackend.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "SensorCtrl.h"
#include "stubs/StubHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Reply = std::unique_ptr<Lines>;

const std::string ADM_END = "_response_ admCmdEnd\n";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

time_t monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

class RelayFixture : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        // As in the daemon.
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        logPath = dir.path() + "/daemon.log";
        relayLogPath = dir.path() + "/relay.log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logPath.c_str(), true));
        ASSERT_TRUE(StubHarness::installTools(dir.path(), CMDRELAY, {"CapqRelay", "AdmCmdRelay"}));
        env.set("CMDRELAY_LOG", relayLogPath.c_str());
        env.set("CMDRELAY_MODE", nullptr);
        env.set("CMDRELAY_REPLY", nullptr);
        cfg.getParamStore().putStr(Cfg::CAPQCMD, dir.path() + "/CapqRelay");
        cfg.getParamStore().putStr(Cfg::ADMCMD, dir.path() + "/AdmCmdRelay");
        SensorCtrl::config = &cfg;
    }
    void TearDown() override {
        SensorCtrl::config = nullptr;
        LoggerBackend::destroy();
    }

    // The Error lines of component `name`, in order. Stops the backend to
    // flush it, so call it once, at the end.
    std::vector<std::string> errors(const std::string& name = "ADMCmdStub") {
        LoggerBackend::destroy();
        std::vector<std::string> out;
        std::istringstream in(readFile(logPath));
        const std::string tag = "[Error  ] " + name + ": ";
        for (std::string l; std::getline(in, l);) {
            const std::size_t at = l.find(tag);
            if (at != std::string::npos) out.push_back(l.substr(at + tag.size()));
        }
        return out;
    }
    std::string relayLog() const { return readFile(relayLogPath); }
    bool waitForRelayLog(const std::string& what, std::size_t count = 1) const {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            if (countOf(relayLog(), what) >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The pid of the last relay that logged its start.
    pid_t lastRelayPid() const {
        const std::string log = relayLog();
        const std::size_t at = log.rfind(" start");
        if (at == std::string::npos) return 0;
        return static_cast<pid_t>(std::atol(log.c_str() + log.rfind('\n', at) + 1));
    }

    StubHarness::TempDir dir;
    StubHarness::ScopedEnv env;
    std::string logPath;
    std::string relayLogPath;
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
};

class RelayChannelTest : public RelayFixture {
  protected:
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

TEST_F(RelayChannelTest, RepliesEndOnlyAtAWholeEndLine) {
    const std::string x2047(2047, 'x');
    const struct Row {
        const char* mode;
        std::string reply;
        bool ok;
        Lines lines;
    } rows[] = {
        {"normal", "", true, {}},  // the end line alone: an empty reply, not a failure
        {"normal", "a\nb:c\n\n", true, {"a\n", "b:c\n", "\n"}},
        // A line longer than a piece arrives in pieces of at most 2047 bytes.
        {"longline", "", true, {x2047, std::string(953, 'x') + "\n"}},
        {"normal", x2047 + "\n", true, {x2047, "\n"}},
        {"normal", std::string(2046, 'y') + "\n", true, {std::string(2046, 'y') + "\n"}},
        // The end text right after a piece continues a line: not the end.
        {"endtail", "", true, {x2047, ADM_END}},
        // The end line without its newline, or none, before end of input.
        {"endnonl", "a\n", false, {}},
        {"noend", "a\n", false, {}},
    };
    for (const Row& r : rows) {
        env.set("CMDRELAY_MODE", r.mode);
        env.set("CMDRELAY_REPLY", r.reply.c_str());
        RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
        ASSERT_TRUE(channel.isOperational()) << r.mode;
        // The log drops a repeat of the last message: each failure asks its own.
        const std::string noend = r.mode;
        Reply reply(channel.executeCmd(noend == "noend" ? "zsdInfo noend" : "zsdInfo"));
        ASSERT_EQ(reply != nullptr, r.ok) << r.mode << " " << r.reply.size();
        if (reply) {
            EXPECT_EQ(*reply, r.lines) << r.mode << " " << r.reply.size();
        }
        // A failed reply means the relay has gone: the channel closes at once.
        EXPECT_EQ(channel.isOperational(), r.ok) << r.mode;
    }
    EXPECT_EQ(errors(), (Lines{"Couldn't parse output from admCmd zsdInfo!",
                               "Couldn't parse output from admCmd zsdInfo noend!"}));
}

// A relay that answers every request twice: the copy is dropped before the
// next request, which gets its own answer.
TEST_F(RelayChannelTest, ASurplusAnswerNeverAnswersALaterRequest) {
    env.set("CMDRELAY_MODE", "twice");
    RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
    ASSERT_TRUE(channel.isOperational());
    for (const char* request : {"zsdInfo a", "zsdInfo b", "zsdInfo c"}) {
        Reply reply(channel.executeCmd(request));
        ASSERT_NE(reply, nullptr) << request;
        EXPECT_EQ(*reply, Lines{"req:" + std::string(request) + "\n"});
    }
    EXPECT_TRUE(channel.isOperational());
}

TEST_F(RelayChannelTest, ADeadRelayRestartsOnlyThreeSecondsAfterTheLastStart) {
    env.set("CMDRELAY_MODE", "noend");
    RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
    const time_t first = channel.lastConnectTime();
    EXPECT_EQ(Reply(channel.executeCmd("clusterName")), nullptr);
    env.set("CMDRELAY_MODE", "normal");
    int refused = 0;
    while (monotonicSeconds() - first < RelayCmdChannel::RECONNECT_TIMEOUT) {
        Reply r(channel.executeCmd("zsdInfo"));
        if (monotonicSeconds() - first >= RelayCmdChannel::RECONNECT_TIMEOUT) break;
        EXPECT_EQ(r, nullptr);
        ++refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GT(refused, 0);
    EXPECT_EQ(countOf(relayLog(), " start\n"), 1u);
    Reply r(channel.executeCmd("zsdInfo"));
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->empty());
    EXPECT_GE(channel.lastConnectTime() - first, RelayCmdChannel::RECONNECT_TIMEOUT);
    EXPECT_EQ(countOf(relayLog(), " start\n"), 2u);
    EXPECT_EQ(errors(), Lines{"Couldn't parse output from admCmd clusterName!"});
}

TEST_F(RelayChannelTest, ASilentRelayIsEndedAtTheTimeOut) {
    env.set("CMDRELAY_MODE", "silent");
    RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
    channel.setReplyTimeoutMs(300);
    ASSERT_TRUE(waitForRelayLog(" start\n"));
    const pid_t relay = lastRelayPid();
    ASSERT_GT(relay, 0);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(Reply(channel.executeCmd("zsdInfo")), nullptr);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_GE(took.count(), 250);
    EXPECT_LT(took.count(), 3000);
    EXPECT_FALSE(channel.isOperational());
    // The relay was still waiting for its tool: it is ended, not left behind.
    const Clock::time_point end = Clock::now() + std::chrono::seconds(3);
    while (kill(relay, 0) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(kill(relay, 0), 0);
    EXPECT_EQ(errors(), Lines{dir.path() + "/AdmCmdRelay did not answer zsdInfo within 300 ms; "
                                           "closing it"});
}

TEST_F(RelayChannelTest, AReplyTooLongToHoldClosesTheChannel) {
    env.set("CMDRELAY_MODE", "flood");
    RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
    EXPECT_EQ(Reply(channel.executeCmd("zsdInfo")), nullptr);
    EXPECT_FALSE(channel.isOperational());
    EXPECT_EQ(errors(), Lines{"Reply to zsdInfo exceeds 16777216 bytes; closing " + dir.path() +
                              "/AdmCmdRelay"});
}

// This process's children that still run under the command name `name`.
std::vector<pid_t> runningChildren(const std::string& name) {
    std::vector<pid_t> out;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir("/proc"), closedir);
    while (dirent* e = d ? readdir(d.get()) : nullptr) {
        const pid_t pid = std::atoi(e->d_name);
        std::istringstream stat(pid > 0 ? readFile("/proc/" + std::string(e->d_name) + "/stat")
                                        : "");
        std::string skip;
        pid_t parent = 0;
        stat >> skip >> skip >> skip >> parent;
        if (parent == getpid() &&
            readFile("/proc/" + std::string(e->d_name) + "/comm") == name + "\n" &&
            StubHarness::running(pid))
            out.push_back(pid);
    }
    return out;
}

// The real CapqRelay with a listing tool that hangs with a child and ignores
// SIGTERM: every time-out ends the relay and the tool's whole group. The hung
// request goes straight into the relay's input, and the channel's own request
// (queued behind it) arms the time-out only once the tool and its child have
// logged themselves: on a slow machine they would not within 300 ms.
TEST_F(RelayChannelTest, AHungToolIsEndedWithItsRelayAtEveryTimeOut) {
    const std::string root = dir.path() + "/root";
    const std::string canned = dir.path() + "/canned";
    const std::string pidFile = dir.path() + "/pids";
    ASSERT_TRUE(StubHarness::installTools(root + "/usr/vnx/qorm/bin", FAKECAPQTOOL, {"iqdf"}));
    ASSERT_TRUE(StubHarness::makeDirs(canned));
    for (const char* what : {".sleep", ".fork", ".noterm"})
        std::ofstream(canned + "/iqdf c1:hungfs -Y" + what) << "600000";
    env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    env.set("FAKECAPQ_DIR", canned.c_str());
    env.set("FAKECAPQ_PIDS", pidFile.c_str());
    cfg.getParamStore().putStr(Cfg::CAPQCMD, CAPQRELAY);
    RelayCmdChannel channel(CAPQStub::NAMES, mutex);
    for (int timeOut = 0; timeOut < 2; ++timeOut) {
        if (timeOut > 0) {
            while (monotonicSeconds() - channel.lastConnectTime() <
                   RelayCmdChannel::RECONNECT_TIMEOUT)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // Restarts the relay, which answers this one itself.
            channel.setReplyTimeoutMs(RelayCmdChannel::DEFAULT_REPLY_TIMEOUT_MS);
            ASSERT_NE(Reply(channel.executeCmd("restart")), nullptr);
        }
        std::vector<pid_t> relays;
        for (int i = 0; i < 2000 && (relays = runningChildren("CapqRelay")).size() != 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(relays.size(), 1u);
        const int relayInput =
            open(("/proc/" + std::to_string(relays[0]) + "/fd/0").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(relayInput, 0);
        const std::string hung = "iqdf:c1:hungfs\n";
        EXPECT_EQ(write(relayInput, hung.data(), hung.size()), static_cast<ssize_t>(hung.size()));
        close(relayInput);
        const std::size_t logged = 2 * (timeOut + 1);  // a tool and its child each time
        for (int i = 0; i < 2000 && countOf(readFile(pidFile), "\n") < logged; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(countOf(readFile(pidFile), "\n"), logged);
        channel.setReplyTimeoutMs(300);
        EXPECT_EQ(Reply(channel.executeCmd("iqdf:c1:hungfs")), nullptr);
        EXPECT_FALSE(channel.isOperational());
    }
    std::istringstream pids(readFile(pidFile));
    int tools = 0;
    for (pid_t pid; pids >> pid; ++tools) {
        for (int waited = 0; StubHarness::running(pid) && waited < 10000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(StubHarness::running(pid)) << pid;
    }
    EXPECT_EQ(tools, 4);  // two tools, two children
    EXPECT_EQ(runningChildren("CapqRelay"), std::vector<pid_t>{});
}

// Four channels each wait on the real CapqRelay, whose listing tool hangs
// and ignores SIGTERM, so that each relay needs its tool grace (500 ms) to
// end. The stop hook ends them together, in about one such grace rather
// than one per channel, and leaves no relay and no tool behind.
TEST_F(RelayChannelTest, TheStopEndsBusyChannelsTogether) {
    const std::string root = dir.path() + "/root";
    const std::string canned = dir.path() + "/canned";
    const std::string pidFile = dir.path() + "/pids";
    ASSERT_TRUE(StubHarness::installTools(root + "/usr/vnx/qorm/bin", FAKECAPQTOOL, {"iqdf"}));
    ASSERT_TRUE(StubHarness::makeDirs(canned));
    for (const char* what : {".sleep", ".noterm"})
        std::ofstream(canned + "/iqdf c1:hungfs -Y" + what) << "600000";
    env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    env.set("FAKECAPQ_DIR", canned.c_str());
    env.set("FAKECAPQ_PIDS", pidFile.c_str());
    cfg.getParamStore().putStr(Cfg::CAPQCMD, CAPQRELAY);

    constexpr int busy = 4;
    pthread_mutex_t mutexes[busy];
    std::vector<std::unique_ptr<RelayCmdChannel>> channels;
    for (pthread_mutex_t& m : mutexes) {
        pthread_mutex_init(&m, nullptr);
        channels.emplace_back(new RelayCmdChannel(CAPQStub::NAMES, m));
        ASSERT_TRUE(channels.back()->isOperational());
    }
    std::atomic<int> answered{0};
    std::vector<std::thread> waiting;
    for (auto& c : channels) {
        waiting.emplace_back([&c, &answered] {
            if (Reply(c->executeCmd("iqdf:c1:hungfs")) != nullptr) ++answered;
        });
    }
    for (int i = 0; i < 1000 && countOf(readFile(pidFile), "\n") < busy; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(countOf(readFile(pidFile), "\n"), static_cast<std::size_t>(busy));

    const Clock::time_point start = Clock::now();
    ChildChannel::abandonForStop();
    const long long tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    for (std::thread& t : waiting) t.join();
    // One channel after the other would take at least busy x 500 ms.
    EXPECT_LT(tookMs, 1500);
    EXPECT_EQ(answered.load(), 0);
    // A stopped channel starts no relay again.
    EXPECT_EQ(Reply(channels.front()->executeCmd("iqdf:c1:hungfs")), nullptr);
    EXPECT_TRUE(channels.front()->isStopping());
    channels.clear();
    std::istringstream pids(readFile(pidFile));
    for (pid_t pid; pids >> pid;) {
        for (int waited = 0; StubHarness::running(pid) && waited < 2000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(StubHarness::running(pid)) << pid;
    }
    EXPECT_EQ(runningChildren("CapqRelay"), std::vector<pid_t>{});
    for (pthread_mutex_t& m : mutexes) pthread_mutex_destroy(&m);
    // The replies the stop cut off are no fault of the relays.
    EXPECT_EQ(errors("CAPQStub"), Lines{});
}

// Run by CTest with the fork-failing library preloaded.
TEST_F(RelayChannelTest, AFailedForkIsAFailedStart) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::string(preload).find("failsys") == std::string::npos)
        GTEST_SKIP() << "needs the failsys library preloaded (CTest does it)";
    env.set("VELMAR_FAIL_FORK", "1");
    RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
    EXPECT_FALSE(channel.isOperational());
    const time_t first = channel.lastConnectTime();
    EXPECT_GT(first, 0);
    // The failed start counts against the restart gap like any other.
    EXPECT_EQ(Reply(channel.executeCmd("early")), nullptr);
    env.set("VELMAR_FAIL_FORK", nullptr);
    while (monotonicSeconds() - first < RelayCmdChannel::RECONNECT_TIMEOUT)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(Reply(channel.executeCmd("later")), nullptr);
    EXPECT_EQ(relayLog().find(" request early"), std::string::npos);
    EXPECT_EQ(errors(), Lines{"Could not fork " + dir.path() +
                              "/AdmCmdRelay: Resource temporarily unavailable (11)"});
}

TEST_F(RelayChannelTest, ADescriptorOpenedAfterACloseSurvivesTheNextClose) {
    RelayCmdChannel channel(ADMCmdStub::NAMES, mutex);
    ASSERT_NE(Reply(channel.executeCmd("zsdInfo")), nullptr);
    channel.disconnectADMCmd();
    // Takes the lowest free numbers: those the channel's pipes had.
    const int a = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int b = open("/dev/null", O_RDONLY | O_CLOEXEC);
    channel.disconnectADMCmd();
    channel.closeADMCmd();
    EXPECT_NE(fcntl(a, F_GETFD), -1);
    EXPECT_NE(fcntl(b, F_GETFD), -1);
    close(a);
    close(b);
    // The relay saw the end of its input.
    EXPECT_TRUE(waitForRelayLog(" eof\n"));
}

bool singletonUsed = false;

class RelayCmdStubTest : public RelayFixture {
  protected:
    void SetUp() override {
        if (singletonUsed) GTEST_SKIP() << "the singletons live once per process; run alone";
        singletonUsed = true;
        RelayFixture::SetUp();
    }
};

TEST_F(RelayCmdStubTest, TheLastCloseEndsTheChannelForGood) {
    env.set("CMDRELAY_REPLY", "peekreg:pkrq_zsd_info:a:b:c:d:zsd1:fs1:system:\n");
    ADMCmdStub* a = ADMCmdStub::getInstance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ADMCmdStub::getInstance(), a);
    Reply r(a->executeCmd("zsdInfo"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(*r, Lines{"peekreg:pkrq_zsd_info:a:b:c:d:zsd1:fs1:system:\n"});
    ADMCmdStub::closeInstance();
    ADMCmdStub::closeInstance();
    EXPECT_TRUE(waitForRelayLog(" eof\n"));
    EXPECT_EQ(ADMCmdStub::getInstance(), nullptr);
    // Unbalanced releases take nothing below 0: one more holder, one release.
    ADMCmdStub::closeInstance();
    ADMCmdStub::closeInstance();
    ADMCmdStub::closeInstance();
    EXPECT_EQ(ADMCmdStub::getInstance(), nullptr);
    EXPECT_EQ(countOf(relayLog(), " start\n"), 1u);
    EXPECT_EQ(errors(), Lines{});
}

TEST_F(RelayCmdStubTest, AnUnusableRelayIsReportedOnce) {
    const std::string plain = dir.path() + "/plain";
    std::ofstream(plain) << "#!/bin/sh\n";
    chmod(plain.c_str(), 0644);
    cfg.getParamStore().putStr(Cfg::CAPQCMD, plain);
    EXPECT_EQ(CAPQStub::getInstance(), nullptr);
    // Corrected later: still no channel, and no second message.
    cfg.getParamStore().putStr(Cfg::CAPQCMD, dir.path() + "/CapqRelay");
    EXPECT_EQ(CAPQStub::getInstance(), nullptr);
    EXPECT_EQ(errors("CAPQStub"), Lines{"CapqRelay " + plain +
                                        " doesn't exist or is not executable. Pls check config"});
}

TEST_F(RelayCmdStubTest, TheTwoChannelsNeverWaitForEachOther) {
    env.set("CMDRELAY_REPLY", "line\n");
    CAPQStub* capq = CAPQStub::getInstance();
    ADMCmdStub* adm = ADMCmdStub::getInstance();
    ASSERT_NE(capq, nullptr);
    ASSERT_NE(adm, nullptr);
    {
        Reply r(capq->executeCmd("iqdf:fs1"));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(*r, Lines{"line\n"});
    }
    capq->setReplyTimeoutMs(3000);
    std::thread hung([capq] { EXPECT_EQ(Reply(capq->executeCmd("hang")), nullptr); });
    ASSERT_TRUE(waitForRelayLog(" request hang\n"));
    const Clock::time_point t0 = Clock::now();
    Reply r(adm->executeCmd("zsdInfo"));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(*r, Lines{"line\n"});
    hung.join();
    ADMCmdStub::closeInstance();
    CAPQStub::closeInstance();
    EXPECT_EQ(ADMCmdStub::getInstance(), nullptr);
    EXPECT_EQ(CAPQStub::getInstance(), nullptr);
    EXPECT_EQ(errors("CAPQStub").size(), 1u);
}

}  // namespace
