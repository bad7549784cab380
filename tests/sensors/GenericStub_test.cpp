#include "GenericStub.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoggerBackend.h"
#include "stubs/StubHarness.h"

namespace {

const std::string FAKEPROXY = VELMAR_BINARY_DIR "/tests/stubs/fakeproxy";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) lines.push_back(l);
    return lines;
}

// The value of name in a default fakeproxy reply ("... name:value ...").
std::string field(const std::string& reply, const std::string& name) {
    std::size_t p = reply.find(" " + name + ":");
    if (p == std::string::npos) return "";
    p += name.size() + 2;
    return reply.substr(p, reply.find_first_of(" \n", p) - p);
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The daemon ignores SIGCHLD and SIGPIPE; so do these tests. Proxy log lines
// of the channel go to a backend writing into the test's directory.
class GenericStubTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGCHLD, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(dir.path().empty());
        proxyLog = dir.path() + "/proxy.log";
        daemonLog = dir.path() + "/daemon.log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, daemonLog.c_str(), true));
        GenericStub::setReplyTimeoutMs(5000);
    }
    void TearDown() override { LoggerBackend::destroy(); }

    // Everything the channel logged so far.
    std::string channelLog() {
        LoggerBackend::destroy();
        std::string text = readFile(daemonLog);
        LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, daemonLog.c_str(), true);
        return text;
    }
    std::vector<std::string> proxyEvents(const std::string& what) {
        std::vector<std::string> found;
        for (const std::string& l : linesOf(readFile(proxyLog))) {
            std::size_t sp = l.find(' ');
            if (sp != std::string::npos && l.compare(sp + 1, what.size(), what) == 0) {
                found.push_back(l);
            }
        }
        return found;
    }
    std::string args(const std::string& extra = "") {
        return "--log=" + proxyLog + ";--dir=" + dir.path() + extra;
    }

    StubHarness::TempDir dir;
    std::string proxyLog;
    std::string daemonLog;
};

TEST(GenericStubIds, ArgvAndProxyId) {
    using V = std::vector<std::string>;
    EXPECT_EQ(GenericStub::buildArgv("/p", ""), V({"/p"}));
    EXPECT_EQ(GenericStub::buildArgv("/p", ";a;;b;"), V({"/p", "a", "b"}));
    EXPECT_EQ(GenericStub::buildArgv("/p", "a b"), V({"/p", "a b"}));
    EXPECT_EQ(GenericStub::buildArgv("/p", " a ; b"), V({"/p", " a ", " b"}));
    EXPECT_EQ(GenericStub::buildArgv("/p", ";;;"), V({"/p"}));

    EXPECT_EQ(GenericStub::getProxyId("./prx", ""), "./prx||");
    EXPECT_EQ(GenericStub::getProxyId(" ./prx\n", " \t"), "./prx||");
    EXPECT_EQ(GenericStub::getProxyId("./prx", " a;b \r\n"), "./prx||a;b");
    EXPECT_EQ(GenericStub::getProxyId(" \t", " "), "||");
}

TEST_F(GenericStubTest, StartsTheProxyWithSplitArguments) {
    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args(";;a;;b c;"));
    ASSERT_NE(s, nullptr);
    EXPECT_NE(s->executeQuery("hello").find("item:hello"), std::string::npos);
    GenericStub::closeInstance(FAKEPROXY, args(";;a;;b c;"));

    std::vector<std::string> argv;
    for (const std::string& l : proxyEvents("argv ")) argv.push_back(l.substr(l.find("argv ")));
    EXPECT_EQ(argv,
              std::vector<std::string>({"argv 0 " + FAKEPROXY, "argv 1 --log=" + proxyLog,
                                        "argv 2 --dir=" + dir.path(), "argv 3 a", "argv 4 b c"}));
}

TEST_F(GenericStubTest, EqualIdsShareOneChild) {
    const std::string a = args();
    GenericStub* s1 = GenericStub::getInstance(FAKEPROXY, a);
    GenericStub* s2 = GenericStub::getInstance(" " + FAKEPROXY + "\t", " " + a + " \n");
    GenericStub* s3 = GenericStub::getInstance(FAKEPROXY, a + ";other");
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(s1, s2);
    ASSERT_NE(s3, nullptr);
    EXPECT_NE(s1, s3);

    const std::string pid1 = field(s1->executeQuery("one"), "pid");
    EXPECT_EQ(field(s2->executeQuery("two"), "pid"), pid1);
    EXPECT_NE(field(s3->executeQuery("three"), "pid"), pid1);
    EXPECT_EQ(proxyEvents("start").size(), 2u);

    // One release of the shared id leaves the child to the other holder.
    GenericStub::closeInstance(FAKEPROXY, a);
    EXPECT_EQ(field(s2->executeQuery("four"), "count"), "3");
    EXPECT_TRUE(proxyEvents("eof").empty());

    // The last release closes its input: the proxy ends.
    GenericStub::closeInstance(FAKEPROXY + " ", a);
    GenericStub::closeInstance(FAKEPROXY, a + ";other");
    for (int i = 0; i < 200 && proxyEvents("eof").size() < 2; ++i) sleepMs(10);
    EXPECT_EQ(proxyEvents("eof").size(), 2u);

    // Unknown ids and extra releases change nothing.
    GenericStub::closeInstance(FAKEPROXY, a);
    GenericStub::closeInstance("/no/such", "");
}

TEST_F(GenericStubTest, UnusableExecutables) {
    const std::string missing = dir.path() + "/missing";
    EXPECT_EQ(GenericStub::getInstance(missing, ""), nullptr);
    EXPECT_EQ(GenericStub::getInstance(missing, ""), nullptr);

    // A leading blank is kept when the stub is made, so the check fails.
    EXPECT_EQ(GenericStub::getInstance(" " + FAKEPROXY, args()), nullptr);

    // A directory passes the access check but cannot run; the stub stays
    // registered and its logger is named "GenericStub".
    GenericStub* d = GenericStub::getInstance(dir.path() + "/", "");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->executeQuery("x"), "");
    GenericStub::closeInstance(dir.path() + "/", "");

    const std::string log = channelLog();
    const std::string msg =
        "Proxy " + missing + " doesn't exist or is not executable. Pls check config";
    // Two identical lines in a row are deduplicated by the backend, so count
    // the line and its repeat note together.
    EXPECT_NE(log.find("missing: " + msg), std::string::npos) << log;
    EXPECT_NE(log.find("fakeproxy: Proxy  " + FAKEPROXY + " doesn't exist"), std::string::npos)
        << log;
    EXPECT_NE(log.find("GenericStub: Could not execute " + dir.path() + "/! Permission denied"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GenericStub: Could not connect to the proxy:" + dir.path() + "/"),
              std::string::npos)
        << log;
}

TEST_F(GenericStubTest, RepliesAreByteExact) {
    // A long line whose 8192nd byte starts "_response_ end": read in fixed
    // pieces it would end the reply early.
    const std::string longLine = std::string(8191, 'x') + "_response_ end not the end\n";
    const std::string odd = "\t_key_ a:\xC3\xA9\r\n \n" + std::string(20000, 'y') + "\n" +
                            "x_response_ end\n" + longLine;
    const std::string reply = "_response_ begin\n" + odd + "_response_ end trailing\n";
    writeFile(dir.path() + "/odd.reply", reply);

    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->executeQuery("odd"), reply);
    EXPECT_EQ(s->executeQuery("odd again"), reply);
    // Standard error joins the reply stream in the order written.
    std::string r = s->executeQuery("stderr");
    EXPECT_EQ(r.substr(0, 21), "complaint on stderr\n_");
    EXPECT_NE(r.find("item:stderr"), std::string::npos);
    GenericStub::closeInstance(FAKEPROXY, args());
}

// A proxy that answers one request twice: the surplus answer is dropped
// before the next request, which gets its own.
TEST_F(GenericStubTest, ASurplusReplyNeverAnswersALaterRequest) {
    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
    ASSERT_NE(s, nullptr);
    for (const char* word : {"stats1", "stats2", "twice", "stats1", "stats2", "stats1"}) {
        const std::string r = s->executeQuery(word);
        EXPECT_NE(r.find("item:" + std::string(word) + "\n"), std::string::npos) << word << r;
        EXPECT_EQ(r.find("_response_ end"), r.rfind("_response_ end")) << word << r;
    }
    GenericStub::closeInstance(FAKEPROXY, args());
}

TEST_F(GenericStubTest, OverlongLinesAreDropped) {
    const std::string big(GenericStub::MAX_LINE_BYTES + 10, 'z');
    writeFile(dir.path() + "/big.reply",
              "_response_ begin\n_key_ a:1\n" + big + "\n_val_ x:1\n_response_ end\n");
    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->executeQuery("big"), "_response_ begin\n_key_ a:1\n_val_ x:1\n_response_ end\n");
    // The stream stays in step.
    EXPECT_NE(s->executeQuery("next").find("item:next"), std::string::npos);
    GenericStub::closeInstance(FAKEPROXY, args());
    EXPECT_NE(channelLog().find("fakeproxy: Reply line of proxy " + FAKEPROXY +
                                " longer than 1048576 bytes dropped"),
              std::string::npos);
}

TEST_F(GenericStubTest, RegistryServesAgainAfterEmptying) {
    for (int round = 0; round < 3; ++round) {
        GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
        ASSERT_NE(s, nullptr);
        EXPECT_NE(s->executeQuery("r").find("item:r"), std::string::npos);
        GenericStub::closeInstance(FAKEPROXY, args());
    }
    EXPECT_EQ(proxyEvents("start").size(), 3u);
}

TEST_F(GenericStubTest, ProxyWithoutEndLineThenRestart) {
    // Taken before the start, which may end in the next second under load.
    const time_t started = monotonicSeconds();
    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->executeQuery("noend"),
              "_response_ begin\n_key_ node:- sensor:- item:noend\n_val_ count:1\n");
    // The proxy has ended: the channel closes and does not restart before
    // the third second after the last start.
    EXPECT_EQ(s->executeQuery("a"), "");
    std::string r;
    time_t answered = 0;
    while (r.empty() && monotonicSeconds() < started + 10) {
        const time_t before = monotonicSeconds();
        r = s->executeQuery("b");
        if (r.empty()) {
            EXPECT_LE(before, started + 3);
        } else {
            answered = before;
        }
        sleepMs(50);
    }
    EXPECT_NE(r.find("item:b"), std::string::npos);
    EXPECT_GE(answered, started + 3);
    EXPECT_EQ(proxyEvents("start").size(), 2u);
    GenericStub::closeInstance(FAKEPROXY, args());
}

TEST_F(GenericStubTest, ProxyThatExitsOrClosesItsOutput) {
    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->executeQuery("exit"), "");
    EXPECT_EQ(s->executeQuery("x"), "");

    // A proxy that closes its output but keeps reading is let go too, rather
    // than answering nothing for ever.
    GenericStub* c = GenericStub::getInstance(FAKEPROXY, args(";c"));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->executeQuery("closeout"), "");
    EXPECT_EQ(c->executeQuery("x"), "");
    for (int i = 0; i < 200 && proxyEvents("eof").empty(); ++i) sleepMs(10);
    EXPECT_EQ(proxyEvents("eof").size(), 1u);
    sleepMs(3100);
    EXPECT_NE(c->executeQuery("y").find("item:y"), std::string::npos);
    EXPECT_NE(s->executeQuery("z").find("item:z"), std::string::npos);
    GenericStub::closeInstance(FAKEPROXY, args());
    GenericStub::closeInstance(FAKEPROXY, args(";c"));
}

TEST_F(GenericStubTest, SilentProxyTimesOut) {
    GenericStub::setReplyTimeoutMs(300);
    GenericStub* s = GenericStub::getInstance(FAKEPROXY, args());
    ASSERT_NE(s, nullptr);
    const std::string pid = field(s->executeQuery("first"), "pid");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(s->executeQuery("pause 4000"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_NE(channelLog().find("fakeproxy: Proxy " + FAKEPROXY +
                                " did not answer within 300 ms, closing the channel"),
              std::string::npos);
    // Closed, it restarts under the throttle with a new child.
    sleepMs(3100);
    const std::string again = s->executeQuery("second");
    EXPECT_NE(field(again, "pid"), "");
    EXPECT_NE(field(again, "pid"), pid);
    GenericStub::closeInstance(FAKEPROXY, args());
}

TEST_F(GenericStubTest, TimedOutProxiesAreEnded) {
    GenericStub::setReplyTimeoutMs(500);
    const std::vector<std::string> ids = {";1", ";2", ";3", ";4"};
    for (const std::string& id : ids) {
        GenericStub* s = GenericStub::getInstance(FAKEPROXY, args(id));
        ASSERT_NE(s, nullptr);
        s->executeQuery("hang");  // times out after the first line
    }
    const std::vector<std::string> starts = proxyEvents("start");
    ASSERT_EQ(starts.size(), ids.size());
    for (const std::string& l : starts) {
        const pid_t pid = std::atoi(l.c_str());
        EXPECT_TRUE(kill(pid, 0) == -1 && errno == ESRCH) << "proxy " << pid << " left running";
    }
    for (const std::string& id : ids) GenericStub::closeInstance(FAKEPROXY, args(id));
}

// A proxy that has started a child of its own: each way of ending the
// channel ends both, the stop also while a query waits on the proxy, and a
// stopped channel starts no proxy again. A proxy killed while its child,
// deaf to SIGTERM, holds its output fails the query at once, and the next
// one after the restart gap is answered. As the kernel allows and as on one
// that refuses to signal a group through a pidfd (before Linux 6.9).
TEST_F(GenericStubTest, EndingTheChannelEndsTheProxysChildrenToo) {
    const char* const ends[] = {"time-out", "close", "stop", "killed"};
    int n = 0;
    for (const bool refused : {false, true}) {
        ChildProcess::refuseGroupPidfdSignal(refused);
        for (const std::string end : ends) {
            SCOPED_TRACE(end + (refused ? ", refused" : ""));
            GenericStub::setReplyTimeoutMs(end == "time-out" ? 300 : 60000);
            const std::string a = args(";" + end + std::to_string(n++));
            GenericStub* s = GenericStub::getInstance(FAKEPROXY, a);
            ASSERT_NE(s, nullptr);
            const std::string spawn = end == "killed" ? "spawn deaf" : "spawn";
            const pid_t proxy = std::atoi(field(s->executeQuery(spawn), "pid").c_str());
            const std::vector<std::string> spawned = proxyEvents("spawned ");
            ASSERT_FALSE(spawned.empty());
            const pid_t child = std::atoi(spawned.back().c_str() + spawned.back().rfind(' '));
            ASSERT_GT(proxy, 0);
            ASSERT_GT(child, 0);
            if (end == "time-out") {
                EXPECT_EQ(s->executeQuery("hang"), "_response_ begin\n");
            } else if (end == "stop") {
                const std::size_t asked = proxyEvents("request hang").size();
                const auto t0 = std::chrono::steady_clock::now();
                std::thread query([s] { s->executeQuery("hang"); });
                for (int i = 0; i < 500 && proxyEvents("request hang").size() == asked; ++i)
                    sleepMs(10);
                ChildChannel::abandonForStop();
                query.join();
                EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
                EXPECT_EQ(s->executeQuery("again"), "");
            } else if (end == "killed") {
                const auto t0 = std::chrono::steady_clock::now();
                EXPECT_EQ(s->executeQuery("die"), "_response_ begin\n");
                EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
                std::string again;
                for (int i = 0; i < 100 && again.empty(); ++i) {
                    again = s->executeQuery("again");
                    if (again.empty()) sleepMs(100);
                }
                EXPECT_NE(again.find("item:again"), std::string::npos);
            }
            GenericStub::closeInstance(FAKEPROXY, a);
            for (const pid_t pid : {proxy, child}) {
                for (int i = 0; i < 300 && StubHarness::running(pid); ++i) sleepMs(10);
                EXPECT_FALSE(StubHarness::running(pid)) << pid;
                if (StubHarness::running(pid)) kill(pid, SIGKILL);
            }
        }
    }
    ChildProcess::refuseGroupPidfdSignal(false);
    EXPECT_EQ(proxyEvents("start").size(), 10u);
    EXPECT_NE(channelLog().find("fakeproxy: Proxy " + FAKEPROXY +
                                " ended before its answer was complete, closing the channel"),
              std::string::npos);
}

TEST_F(GenericStubTest, ChildGetsDefaultSignalsAndNoOtherPipes) {
    GenericStub* a = GenericStub::getInstance(FAKEPROXY, args(";a"));
    GenericStub* b = GenericStub::getInstance(FAKEPROXY, args(";b"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const std::string ra = a->executeQuery("env");
    const std::string rb = b->executeQuery("env");
    EXPECT_EQ(field(ra, "sigpipe"), "0");
    EXPECT_EQ(field(ra, "sigchld"), "0");
    // The second proxy would hold two more descriptors had it inherited the
    // first one's pipes.
    EXPECT_NE(field(ra, "fds"), "");
    EXPECT_EQ(field(rb, "fds"), field(ra, "fds"));
    GenericStub::closeInstance(FAKEPROXY, args(";a"));
    GenericStub::closeInstance(FAKEPROXY, args(";b"));
}

TEST_F(GenericStubTest, SharedChannelSerialisesQueries) {
    const std::string a = args();
    constexpr int threads = 4;
    constexpr int queries = 40;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            GenericStub* s = GenericStub::getInstance(FAKEPROXY, a);
            if (s == nullptr) {
                ++mismatches;
                return;
            }
            const std::string word = "t" + std::to_string(t);
            for (int q = 0; q < queries; ++q) {
                std::string r = s->executeQuery(word);
                if (r.find("item:" + word + "\n") == std::string::npos) ++mismatches;
            }
            GenericStub::closeInstance(FAKEPROXY, a);
        });
    }
    for (std::thread& t : pool) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    // Binding raced with releasing: at least one child, and every one ended.
    for (int i = 0; i < 200 && proxyEvents("eof").size() < proxyEvents("start").size(); ++i) {
        sleepMs(10);
    }
    EXPECT_GE(proxyEvents("start").size(), 1u);
    EXPECT_EQ(proxyEvents("eof").size(), proxyEvents("start").size());
    EXPECT_EQ(proxyEvents("request").size(), static_cast<size_t>(threads * queries));
}

}  // namespace
