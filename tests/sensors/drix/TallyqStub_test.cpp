// The statistics channel against the fake relay (tests/stubs/tallyqrelay.cpp)
// and, once, against the real TallyqSockRelay and the scripted fake server.
//
// The channel is created and destroyed once per process, so every case needs
// a process of its own: CTest runs each case alone, and a case run after
// another in the same process skips itself.
#include "TallyqStub.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Configuration.h"
#include "LoggerBackend.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "SensorCtrl.h"
#include "stubs/StubHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using Reply = std::unique_ptr<TallyqResponse>;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// Every record of reply, a line each: the keys and values of its parts.
std::string recordsOf(const TallyqResponse& reply) {
    std::string out;
    for (const TallyqRecord& rec : reply.getRecordList()) {
        for (const KeyValuesMap_t* part :
             {rec.getMainMap(), rec.getReadMap(), rec.getWriteMap(), rec.getStatMap()}) {
            out += part == nullptr ? "-" : "|";
            if (part == nullptr) continue;
            for (const auto& e : *part) {
                out += std::string(e.first);
                for (std::string_view v : e.second) out += " " + std::string(v);
                out += ";";
            }
        }
        out += "\n";
    }
    return out;
}

Reply parsed(const std::string& text) {
    TallyqReplyReader reader;
    reader.feed(text.data(), text.size());
    if (!reader.complete()) reader.inputEnded();
    return Reply(reader.take());
}

// Replies of the requests whose replies open alike ("tallyq wqm", "tallyq
// rpcs"), in the shapes the facility may send.
std::string opened(const std::string& kind, const std::string& body) {
    return "_response_ begin tallyq " + kind + "\n" + body + "_response_ end\n";
}
std::string wqm(const std::string& keys) {
    return "_tallyq::wqm _rc_ 0 " + keys + " _br_ 7 _wa_ 0.5 _lookup_ 1 2 3 4 5\n";
}
std::string peer(const std::string& keys) { return "_tallyq::rpcs _rc_ 0 " + keys + "\n"; }
std::string obj(const std::string& name) {
    return "_rpcObj_ _obj_ AG_STAT_" + name + "\n_stats_ _av_ 0.1 _min_ 0.01 _max_ 1 _cnt_ 3\n";
}
std::string times(int n, const std::function<std::string(int)>& line) {
    std::string out;
    for (int i = 0; i < n; ++i) out += line(i);
    return out;
}

// Descriptors above 2 open in this process without close-on-exec (those the
// test itself inherited), in the format of the relay's "fds=" field.
std::string inheritableFds() {
    std::string out;
    for (int fd = 3; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            out += (out.empty() ? "" : ",") + std::to_string(fd);
    }
    return out;
}

bool usedInThisProcess = false;

class TallyqStubTest : public testing::Test {
  protected:
    void SetUp() override {
        if (usedInThisProcess) GTEST_SKIP() << "the channel lives once per process; run alone";
        usedInThisProcess = true;
        ASSERT_FALSE(dir.path().empty());
        // As in the daemon: the relay must inherit neither.
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, SIG_IGN);
        daemonLogPath = dir.path() + "/daemon.log";
        relayLogPath = dir.path() + "/relay.log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, daemonLogPath.c_str(), true));
        env.set("TALLYQRELAY_LOG", relayLogPath.c_str());
        env.set("TALLYQRELAY_DIR", dir.path().c_str());
        env.set("TALLYQRELAY_GREETING", nullptr);
        cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQRELAY);
        SensorCtrl::config = &cfg;
    }
    void TearDown() override {
        SensorCtrl::config = nullptr;
        LoggerBackend::destroy();
    }

    void setReply(const std::string& request, const std::string& text) {
        std::ofstream(dir.path() + "/" + request + ".reply", std::ios::binary) << text;
    }
    // The daemon's error lines of the channel, in order, and its warnings
    // that begin with warned. Stops the backend to flush it, so call it
    // once, at the end.
    std::vector<std::string> channelErrors(std::vector<std::string>* warnings = nullptr,
                                           const std::string& warned = "") {
        LoggerBackend::destroy();
        std::vector<std::string> out;
        const std::string warning = "[Warning] TallyqStub: " + warned;
        for (const std::string& l : lines(readFile(daemonLogPath))) {
            const std::size_t at = l.find("[Error  ] TallyqStub: ");
            if (at != std::string::npos) out.push_back(l.substr(at + 22));
            const std::size_t w = l.find(warning);
            if (warnings != nullptr && w != std::string::npos)
                warnings->push_back(l.substr(w + 22));
        }
        return out;
    }
    std::string relayLog() const { return readFile(relayLogPath); }
    bool waitForRelayLog(const std::string& what, int timeoutMs = 5000) const {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            if (relayLog().find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The start lines of the relays, in order.
    std::vector<std::string> relayStarts() const {
        std::vector<std::string> out;
        for (const std::string& l : lines(relayLog())) {
            if (l.find(" start ") != std::string::npos) out.push_back(l);
        }
        return out;
    }
    // The monotonic milliseconds at which a relay logged its start.
    static long long startMs(const std::string& startLine) {
        return std::atoll(startLine.substr(startLine.find(" t=") + 3).c_str());
    }
    // Queries until a reply comes, for at most timeoutMs; counts the nulls.
    Reply queryUntilAnswered(TallyqStub* stub, const std::string& request, int& nulls,
                             int timeoutMs = 6000) {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            Reply r(stub->executeQuery(request));
            if (r) return r;
            ++nulls;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return nullptr;
    }

    StubHarness::TempDir dir;
    StubHarness::ScopedEnv env;
    std::string daemonLogPath;
    std::string relayLogPath;
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};
};

TEST_F(TallyqStubTest, ANonEventGreetingIsRefused) {
    env.set("TALLYQRELAY_GREETING", "resp");
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    // Refused and closed: within the restart interval nothing is started or written.
    EXPECT_EQ(stub->executeQuery("tallyq vfss"), nullptr);
    EXPECT_EQ(relayStarts().size(), 1u);
    EXPECT_EQ(countOf(relayLog(), " request "), 0u);
    TallyqStub::releaseInstance();
    EXPECT_EQ(channelErrors(),
              std::vector<std::string>{"No or invalid response from TALLYQ proxy."});
}

TEST_F(TallyqStubTest, ARelayThatExitsAtOnceIsRefusedThenRestarted) {
    env.set("TALLYQRELAY_GREETING", "exit");
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    env.set("TALLYQRELAY_GREETING", "event");
    int nulls = 0;
    Reply r = queryUntilAnswered(stub, "tallyq vfss", nulls);
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->isResponse());
    EXPECT_GT(nulls, 0);
    const std::vector<std::string> starts = relayStarts();
    ASSERT_EQ(starts.size(), 2u);
    // A restart waits for the third whole second after the last start: more
    // than 2 s, less what fork and exec took before the first relay logged.
    EXPECT_GT(startMs(starts[1]) - startMs(starts[0]), 1900);
    TallyqStub::releaseInstance();
    EXPECT_EQ(channelErrors(),
              std::vector<std::string>{"No or invalid response from TALLYQ proxy."});
}

TEST_F(TallyqStubTest, ARelayThatIsNotExecutableGivesNoChannel) {
    const std::string plain = dir.path() + "/notexec";
    std::ofstream(plain) << "#!/bin/sh\n";
    chmod(plain.c_str(), 0644);
    cfg.getParamStore().putStr(Cfg::TALLYQ, plain);
    EXPECT_EQ(TallyqStub::getInstance(), nullptr);
    // Corrected later: still no channel, and no second message.
    cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQRELAY);
    EXPECT_EQ(TallyqStub::getInstance(), nullptr);
    EXPECT_EQ(TallyqStub::getInstance(), nullptr);
    EXPECT_EQ(channelErrors(),
              std::vector<std::string>{"TallyqRelay " + plain +
                                       " is not executable, please check the configuration."});
}

TEST_F(TallyqStubTest, ARelayPathWithoutASlashIsRefused) {
    // execlp would look this up in PATH and could run another program.
    cfg.getParamStore().putStr(Cfg::TALLYQ, "tallyqrelay");
    env.set("PATH",
            (std::string(TALLYQRELAY).substr(0, std::string(TALLYQRELAY).rfind('/'))).c_str());
    EXPECT_EQ(TallyqStub::getInstance(), nullptr);
    EXPECT_TRUE(relayStarts().empty());
    EXPECT_EQ(channelErrors(),
              std::vector<std::string>{
                  "TallyqRelay tallyqrelay is not executable, please check the configuration."});
}

TEST_F(TallyqStubTest, ARelayThatCannotBeExecutedIsReportedByTheParent) {
    const std::string broken = dir.path() + "/broken";
    std::ofstream(broken) << "#!/nonexistent/interpreter\n";
    chmod(broken.c_str(), 0755);
    cfg.getParamStore().putStr(Cfg::TALLYQ, broken);
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    // The failed exec counts as a start: no second attempt within the interval.
    EXPECT_EQ(stub->executeQuery("x"), nullptr);
    TallyqStub::releaseInstance();
    EXPECT_EQ(channelErrors(), (std::vector<std::string>{
                                   "Could not execute " + broken + ": No such file or directory",
                                   "Could not connect to TALLYQ proxy."}));
}

TEST_F(TallyqStubTest, RepliesReachTheCallerAndTheChannelStays) {
    setReply("tallyq err", "_response_ begin tallyq err\n_error_ e1\n_response_ end\n");
    setReply("tallyq unnamed", "_response_ begin\n_tallyq::u _rc_ 0\n_response_ end\n");
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    using T = TallyqResponse;
    const auto many = [](int n, std::string (*line)(const std::string&), const char* key) {
        return times(n, [&](int i) { return line(i % 2 ? key + std::to_string(i) : ""); });
    };
    const struct {
        std::string request;
        TallyqResponse::respType type;
        std::string name;
        std::string text = "";  // the reply when not the relay's own: its records come through
    } rows[] = {
        {"tallyq vfss", TallyqResponse::resp, "vfss"},
        {"tallyq err", TallyqResponse::error, "e1"},
        // Cut short: handed over as unknown, and the channel stays up.
        {"tallyq cut @cut", TallyqResponse::unknown, "cut"},
        {"tallyq ev @events=5", TallyqResponse::resp, "ev"},
        // An event and the reply in one write: the reply is not lost.
        {"tallyq tog @together", TallyqResponse::resp, "tog"},
        {"tallyq slow @bytewise", TallyqResponse::resp, "slow"},
        {"tallyq rc @rc=7", TallyqResponse::resp, "rc"},
        // A reply without a name is nobody else's either.
        {"tallyq unnamed", TallyqResponse::resp, ""},
        // Replies that open alike, in every shape their records may take:
        // none of them is taken for another member's.
        {"tallyq wqm", T::resp, "wqm", opened("wqm", wqm(""))},
        {"tallyq wqm", T::resp, "wqm", opened("wqm", "_tallyq::wqm _rc_ 0\n_tallyq::wqm\n")},
        {"tallyq wqm", T::resp, "wqm", opened("wqm", many(1000, wqm, "_ns_ "))},
        {"tallyq wqm", T::error, "e1", opened("wqm", "_error_ e1\n")},
        {"tallyq wqm", T::resp, "wqm", opened("wqm", "")},
        {"tallyq wqm", T::resp, "wqm", opened("wqm", wqm("_ns_ 9"))},
        // Its one filesystem not named: the same reply as the last.
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", wqm("_ns_ 9"))},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", wqm("") + wqm("_fs_ b"))},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", "_tallyq::wqm _fs_ a\n_tallyq::wqm\n")},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", "_tallyq::wqm _rc_ 22\n")},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", many(1000, wqm, "_fs_ f"))},
        {"tallyq wqm fs", T::error, "e2", opened("wqm", "_error_ e2\n" + wqm(""))},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", "")},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", wqm("") + wqm("_fs_ a _fset_ b"))},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", wqm("_fs_ a") + wqm("_fset_ b"))},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", "_tallyq::wqm\n")},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", many(1000, wqm, "_fs_ a _fset_ s"))},
        {"tallyq wqm fset", T::error, "e3", opened("wqm", "_error_ e3\n")},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", "")},
        {"tallyq rpcs ns", T::resp, "rpcs", opened("rpcs", peer("") + obj("CHANNEL_WAIT"))},
        {"tallyq rpcs ns", T::resp, "rpcs", opened("rpcs", peer(""))},
        {"tallyq rpcs ns", T::resp, "rpcs", opened("rpcs", peer("") + "_rpcObj_ _x_ 1\n_stats_\n")},
        {"tallyq rpcs ns", T::resp, "rpcs",
         opened("rpcs", peer("") + times(999, [](int) { return obj("SEND_TIME_TCP"); }))},
        {"tallyq rpcs ns", T::error, "e4", opened("rpcs", "_error_ e4\n")},
        {"tallyq rpcs ns", T::resp, "rpcs", opened("rpcs", "")},
        // Peers without a name are still peers.
        {"tallyq rpcs 1s", T::resp, "rpcs",
         opened("rpcs",
                peer("") + obj("RPC_LATENCY_TCP") + peer("_nn_ n") + obj("RPC_LATENCY_MIXED"))},
        {"tallyq rpcs 1s", T::resp, "rpcs",
         opened("rpcs", peer("") + times(4, [](int) { return obj("RPC_LATENCY_VERBS"); }))},
        {"tallyq rpcs 1s", T::resp, "rpcs",
         opened("rpcs", "_tallyq::r _cl_ c\n_tallyq::r _rnn_ r\n_tallyq::r _nn_ n\n")},
        {"tallyq rpcs 1s", T::resp, "rpcs",
         opened("rpcs", times(250,
                              [](int i) {
                                  return peer(i % 2 ? "_cl_ c" : "") + obj("RPC_LATENCY_TCP") +
                                         obj("RPC_LATENCY_VERBS") + obj("RPC_LATENCY_MIXED");
                              }))},
        {"tallyq rpcs 1s", T::error, "e5", opened("rpcs", "_error_ e5\n" + peer(""))},
        {"tallyq rpcs 1s", T::resp, "rpcs", opened("rpcs", peer(""))},
        {"tallyq rpcs 1s", T::resp, "rpcs", opened("rpcs", "")},
        // Siblings answered alike, one after the other: each reply is the answer.
        {"tallyq wqm", T::resp, "wqm", opened("wqm", wqm("_ns_ 9"))},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", wqm("_ns_ 9"))},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", wqm("_ns_ 9"))},
        {"tallyq wqm", T::resp, "wqm", opened("wqm", "_tallyq::wqm _rc_ 22\n")},
        {"tallyq wqm fs", T::resp, "wqm", opened("wqm", "_tallyq::wqm _rc_ 22\n")},
        {"tallyq wqm fset", T::error, "e6", opened("wqm", "_error_ e6\n")},
        {"tallyq wqm fs", T::error, "e6", opened("wqm", "_error_ e6\n")},
        {"tallyq wqm", T::resp, "wqm", opened("wqm", "")},
        {"tallyq wqm fset", T::resp, "wqm", opened("wqm", "")},
        {"tallyq rpcs ns", T::resp, "rpcs", opened("rpcs", peer("") + obj("CHANNEL_WAIT"))},
        {"tallyq rpcs 1s", T::resp, "rpcs", opened("rpcs", peer("") + obj("CHANNEL_WAIT"))},
        {"tallyq rpcs ns", T::error, "e7", opened("rpcs", "_error_ e7\n")},
        {"tallyq rpcs 1s", T::error, "e7", opened("rpcs", "_error_ e7\n")},
        {"tallyq rpcs ns", T::resp, "rpcs", opened("rpcs", "")},
        {"tallyq rpcs 1s", T::resp, "rpcs", opened("rpcs", "")},
    };
    for (const auto& row : rows) {
        if (!row.text.empty()) setReply(row.request, row.text);
        const Clock::time_point start = Clock::now();
        Reply r(stub->executeQuery(row.request));
        // Only a reply cut short waits out the idle wait: any other hold of
        // the channel costs every sensor on it a sample at period 1.
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_TRUE(ms.count() < 500 || row.request.find("@cut") != std::string::npos)
            << row.request << ": " << ms.count() << " ms";
        ASSERT_NE(r, nullptr) << row.request;
        EXPECT_EQ(r->getType(), row.type) << row.request;
        EXPECT_EQ(r->getName(), row.name) << row.request;
        if (!row.text.empty()) {
            EXPECT_EQ(recordsOf(*r), recordsOf(*parsed(row.text))) << row.text;
        }
    }
    Reply rc(stub->executeQuery("tallyq again @rc=9"));
    ASSERT_NE(rc, nullptr);
    ASSERT_EQ(rc->getNumRecords(), 1u);
    uint32_t v = 0;
    LoggerStub log("test");
    EXPECT_TRUE(rc->getRecordList()[0].getInt32Main("_rc_", v, log));
    EXPECT_EQ(v, htobe32(9));

    // A recorded reply, and a missing file after the idle wait.
    setReply("recorded", "_response_ begin tallyq rec\n_tallyq::a _x_ 1\n_response_ end\n");
    Reply fromFile(stub->createTallyqResponseFromFile(dir.path() + "/recorded.reply"));
    EXPECT_TRUE(fromFile->isResponse());
    EXPECT_EQ(fromFile->getName(), "rec");
    const Clock::time_point start = Clock::now();
    Reply missing(stub->createTallyqResponseFromFile(dir.path() + "/none"));
    EXPECT_TRUE(missing->isEOF());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(990));

    // One relay for all of it, started with default signals and no stray descriptors.
    const std::vector<std::string> starts = relayStarts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].find(" start sigpipe=dfl sigchld=dfl fds=" + inheritableFds() + " t="),
              std::string::npos)
        << starts[0];
    TallyqStub::releaseInstance();
    std::vector<std::string> dropped;
    EXPECT_TRUE(channelErrors(&dropped, "Dropped a reply").empty());
    EXPECT_EQ(dropped, std::vector<std::string>{});
}

TEST_F(TallyqStubTest, AFatalReplyClosesAndTheRestartWaits) {
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("tallyq bad @garbage"), nullptr);
    int nulls = 0;
    Reply r = queryUntilAnswered(stub, "tallyq after", nulls);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->getName(), "after");
    EXPECT_GT(nulls, 0);
    // Nothing was written between the fatal reply and the restart.
    const std::string log = relayLog();
    EXPECT_EQ(countOf(log, " request "), 2u) << log;
    const std::vector<std::string> starts = relayStarts();
    ASSERT_EQ(starts.size(), 2u);
    // A restart waits for the third whole second after the last start: more
    // than 2 s, less what fork and exec took before the first relay logged.
    EXPECT_GT(startMs(starts[1]) - startMs(starts[0]), 1900);
    TallyqStub::releaseInstance();
    // The line that is not part of the protocol is named.
    EXPECT_EQ(channelErrors(),
              std::vector<std::string>{"Unexpected output from TALLYQ proxy: no-such-token here"});
}

// A reply that comes twice, or a restarted relay that greets with a reply,
// must not shift later answers onto the wrong requests.
TEST_F(TallyqStubTest, UnsolicitedRepliesNeverAnswerALaterRequest) {
    // First start greets with an event, the second with a reply, then events.
    env.set("TALLYQRELAY_GREETING", "event,resp,event");
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    LoggerStub log("test");
    // Each request of a group stands for another sensor; its reply names it.
    auto expectOwnReplies = [&](const std::string& group, const std::string& first,
                                int pauseMs = 200) {
        for (int i = 0; i < 4; ++i) {
            const std::string name = "tallyq " + group + std::to_string(i);
            int nulls = 0;
            Reply r = i == 0 && !first.empty() ? Reply(stub->executeQuery(name + " " + first))
                                               : queryUntilAnswered(stub, name, nulls, 10000);
            ASSERT_NE(r, nullptr) << name;
            ASSERT_EQ(r->getNumRecords(), 1u) << name;
            EXPECT_EQ("tallyq " + r->getName(), name);
            if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    };
    expectOwnReplies("same", "@dup");     // the copy in the same write
    expectOwnReplies("late", "@dup=50");  // the copy 50 ms later
    // The copy comes after the next request has been written: it names
    // another request and is passed over.
    expectOwnReplies("crossed", "@dup=50", 0);
    for (int i = 0; i < 12; ++i) {
        const std::string name = "tallyq every" + std::to_string(i);
        Reply r(stub->executeQuery(name + (i % 3 == 0 ? " @dup=50" : "")));
        ASSERT_NE(r, nullptr) << name;
        EXPECT_EQ("tallyq " + r->getName(), name);
    }
    // Requests whose replies open alike ("_response_ begin tallyq wqm"):
    // a copy that crosses into the next request is told apart by its records.
    const std::string fixtures = std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/";
    const struct {
        const char* request;
        const char* fixture;
    } family[] = {{"tallyq wqm", "fsstats/wqm"},
                  {"tallyq wqm fs", "fsstats/wqm fs"},
                  {"tallyq wqm fset", "fsstats/wqm fset"},
                  {"tallyq rpcs ns", "directstats/rpcs_ns"},
                  {"tallyq rpcs 1s", "directstats/rpcs_1s"}};
    std::map<std::string, std::string> shapes;
    for (const auto& f : family) {
        const std::string text = readFile(fixtures + f.fixture + ".reply");
        setReply(f.request, text);
        Reply parsed(stub->createTallyqResponseFromFile(fixtures + f.fixture + ".reply"));
        shapes[f.request] = recordsOf(*parsed);
    }
    // Each reply takes 100 ms; a copy of it follows 300 ms later, after the
    // next request has been written. Every copy holds a key that the next
    // request's reply never holds.
    const struct {
        int request;  // into family
        bool copied;
    } sequence[] = {{1, true}, {0, false}, {2, true}, {1, false}, {2, true},
                    {0, false}, {4, true}, {3, false}, {1, false}};
    std::vector<std::string> dropped;
    for (std::size_t i = 0; i < sizeof sequence / sizeof sequence[0]; ++i) {
        const std::string request = family[sequence[i].request].request;
        Reply r(
            stub->executeQuery(request + " @delay=100" + (sequence[i].copied ? " @dup=300" : "")));
        ASSERT_NE(r, nullptr) << i;
        EXPECT_EQ(recordsOf(*r), shapes[request]) << i << " " << request;
        if (sequence[i].copied)
            dropped.push_back("Dropped a reply to " + request + " while waiting for the reply to " +
                              family[sequence[i + 1].request].request);
    }
    // A copy that no key tells apart is the answer, at once; the genuine
    // answer behind it is read out before the next request, which is right.
    {
        Reply first(stub->executeQuery("tallyq wqm @delay=100 @dup=300"));
        Reply taken(stub->executeQuery("tallyq wqm fs @delay=20"));
        ASSERT_TRUE(first && taken);
        EXPECT_EQ(recordsOf(*taken), shapes["tallyq wqm"]);
        ASSERT_TRUE(waitForRelayLog("replied tallyq wqm fs @delay=20"));
        Reply next(stub->executeQuery("tallyq wqm fs"));
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(recordsOf(*next), shapes["tallyq wqm fs"]);
    }
    // Another member's reply arriving late: any of its records may show
    // whose it is.
    const struct {
        const char* request;
        std::string late;
        const char* owner;
    } strays[] = {
        {"tallyq wqm", opened("wqm", wqm("") + wqm("_fs_ b")), "tallyq wqm fs"},
        {"tallyq wqm", opened("wqm", wqm("") + wqm("") + wqm("_fs_ a _fset_ b")),
         "tallyq wqm fset"},
        {"tallyq wqm fs", opened("wqm", "_tallyq::wqm\n" + wqm("_fset_ b")), "tallyq wqm fset"},
        {"tallyq rpcs ns", opened("rpcs", peer("") + obj("RPC_LATENCY_TCP") + peer("_rnn_ r")),
         "tallyq rpcs 1s"},
    };
    for (const auto& stray : strays) {
        setReply("stray", stray.late);
        Reply r(stub->executeQuery(stray.request + std::string(" @first=stray")));
        ASSERT_NE(r, nullptr) << stray.request;
        EXPECT_EQ(recordsOf(*r), shapes[stray.request]) << stray.late;
        dropped.push_back(std::string("Dropped a reply to ") + stray.owner +
                          " while waiting for the reply to " + stray.request);
    }
    EXPECT_EQ(stub->executeQuery("tallyq gone @exit"), nullptr);
    expectOwnReplies("restarted", "");  // the second relay is refused, the third serves
    EXPECT_EQ(relayStarts().size(), 3u);
    TallyqStub::releaseInstance();
    std::vector<std::string> warnings;
    EXPECT_EQ(channelErrors(&warnings, "Dropped a reply to tallyq "),
              std::vector<std::string>{"No or invalid response from TALLYQ proxy."});
    // Each family copy passed over with a Warning; the other copies crossed
    // into requests with other names.
    std::vector<std::string> familyWarnings;
    for (const std::string& w : warnings) {
        if (w.find("tallyq wqm") != std::string::npos || w.find("tallyq rpcs") != std::string::npos)
            familyWarnings.push_back(w);
    }
    EXPECT_EQ(familyWarnings, dropped);
}

// Which request a reply answers, when not the one waiting: only a key that
// the waiting request's replies never hold, in any record, tells.
TEST(TallyqStubRule, OnlyAKeyTheWaitingReplyNeverHoldsTellsAnother) {
    const struct {
        const char* request;
        std::string reply;
        const char* other;
    } rows[] = {
        {"tallyq wqm", opened("wqm", wqm("_fs_ a") + wqm("_fset_ b")), "tallyq wqm fset"},
        {"tallyq wqm fs", opened("wqm", wqm("")), ""},  // a filesystem reported as unknown
        {"tallyq wqm fset", opened("wqm", wqm("") + wqm("_fs_ a")), ""},
        {"tallyq rpcs 1s", opened("rpcs", peer("") + obj("CHANNEL_WAIT")), ""},  // unnamed peer
        {"tallyq rpcs ns", opened("rpcs", "_error_ e\n"), ""},
        {"tallyq rpcs ns", opened("wqm", wqm("")), "tallyq wqm"},          // names another
        {"tallyq wqm fs", "_tallyq::wqm _fset_ b\n_response_ end\n", ""},  // names none
    };
    for (const auto& row : rows) {
        EXPECT_EQ(TallyqStub::answersAnother(*parsed(row.reply), TallyqStub::classify(row.request)),
                  row.other)
            << row.request << ": " << row.reply;
    }
}

// The socket relay's own failure text reaches the log.
TEST_F(TallyqStubTest, TheRelaysOwnFailureIsLogged) {
    env.set("VELMAR_PLATFORM_ROOT", dir.path().c_str());
    cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQSOCKRELAY);
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    TallyqStub::releaseInstance();
    EXPECT_EQ(channelErrors(),
              (std::vector<std::string>{
                  "Unexpected output from TALLYQ proxy: Failed to connect to " + dir.path() +
                      "/var/qorm/tallyq/tallyqSocket: No such file or directory",
                  "No or invalid response from TALLYQ proxy."}));
}

TEST_F(TallyqStubTest, BrokenRepliesCloseTheChannel) {
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    const struct {
        std::string request;
        int minMs;
        int maxMs;
    } rows[] = {
        // Ends at the event bound, or on a slow machine at the deadline.
        {"tallyq flood @flood", 0, 5600},
        {"tallyq late @delay=1500", 990, 1400},  // no reply within the idle wait
        {"tallyq gone @exit", 0, 900},           // end of input
        {"tallyq closed @close", 0, 900},
        {"tallyq trickle @bytewise=100", 4900, 5600},  // the query's deadline
    };
    for (const auto& row : rows) {
        int nulls = 0;
        Reply warm = queryUntilAnswered(stub, "tallyq warm", nulls);  // waits out the restart rule
        ASSERT_NE(warm, nullptr) << row.request;
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(stub->executeQuery(row.request), nullptr) << row.request;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_GE(ms.count(), row.minMs) << row.request;
        EXPECT_LE(ms.count(), row.maxMs) << row.request;
    }
    // Each broken reply closed its relay: every later query needed a new one.
    EXPECT_EQ(relayStarts().size(), sizeof rows / sizeof rows[0]);
    TallyqStub::releaseInstance();
}

TEST_F(TallyqStubTest, TwoThreadsTakeTurns) {
    TallyqStub* first = TallyqStub::getInstance();
    TallyqStub* second = TallyqStub::getInstance();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first, second);
    auto run = [](TallyqStub* stub, const std::string& who, int& good) {
        for (int i = 0; i < 20; ++i) {
            const std::string name = who + std::to_string(i);
            Reply r(stub->executeQuery("tallyq " + name + " @delay=5"));
            if (r && r->isResponse() && r->getName() == name) ++good;
        }
    };
    int goodA = 0, goodB = 0;
    std::thread a(run, first, "a", std::ref(goodA));
    std::thread b(run, second, "b", std::ref(goodB));
    a.join();
    b.join();
    EXPECT_EQ(goodA, 20);
    EXPECT_EQ(goodB, 20);
    // Every request is answered before the next one arrives.
    std::string open;
    for (const std::string& l : lines(relayLog())) {
        const std::size_t req = l.find(" request ");
        const std::size_t rep = l.find(" replied ");
        if (req != std::string::npos) {
            EXPECT_EQ(open, "") << l;
            open = l.substr(req + 9);
        } else if (rep != std::string::npos) {
            EXPECT_EQ(open, l.substr(rep + 9));
            open.clear();
        }
    }
    EXPECT_EQ(relayStarts().size(), 1u);

    // The last release ends the relay and the channel for good.
    const std::string pidText = relayStarts()[0].substr(0, relayStarts()[0].find(' '));
    const pid_t pid = std::atoi(pidText.c_str());
    TallyqStub::releaseInstance();
    EXPECT_NE(TallyqStub::getInstance(), nullptr);  // one holder is left
    TallyqStub::releaseInstance();
    TallyqStub::releaseInstance();
    TallyqStub::releaseInstance();  // unbalanced: ignored
    EXPECT_EQ(TallyqStub::getInstance(), nullptr);
    const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
    while (kill(pid, 0) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(kill(pid, 0), 0);
}

TEST_F(TallyqStubTest, AFailedForkLeavesTheChannelUnconnected) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::string(preload).find("failsys") == std::string::npos)
        GTEST_SKIP() << "needs the failsys library preloaded (CTest does it)";
    env.set("VELMAR_FAIL_FORK", "1");
    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->executeQuery("early"), nullptr);  // within the interval: no attempt
    env.set("VELMAR_FAIL_FORK", nullptr);
    int nulls = 0;
    Reply r = queryUntilAnswered(stub, "tallyq later", nulls);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->getName(), "later");
    EXPECT_EQ(countOf(relayLog(), " request "), 1u);
    TallyqStub::releaseInstance();
    EXPECT_EQ(channelErrors(),
              (std::vector<std::string>{"Could not fork: Resource temporarily unavailable (11)",
                                        "Could not connect to TALLYQ proxy."}));
}

TEST_F(TallyqStubTest, ThroughTheRealSocketRelay) {
    ASSERT_TRUE(StubHarness::makeDirs(dir.path() + "/var/qorm/tallyq"));
    ASSERT_TRUE(StubHarness::makeDirs(dir.path() + "/script"));
    std::ofstream(dir.path() + "/script/tallyq vfss.reply")
        << "_response_ begin tallyq vfss\n_tallyq::vfss _open_ 3 0.0000015\n_response_ end\n";
    ChildProcess server;
    ChildProcess::Options o;
    o.error = ChildProcess::ErrorOutput::Inherit;
    ASSERT_TRUE(server
                    .start(TALLYQSERVER,
                           {"tallyqserver", dir.path() + "/var/qorm/tallyq/tallyqSocket", "script",
                            dir.path() + "/script"},
                           o)
                    .ok());
    ASSERT_EQ(StubHarness::readUntil(server, "ready\n", 10000), "ready\n");
    env.set("VELMAR_PLATFORM_ROOT", dir.path().c_str());
    cfg.getParamStore().putStr(Cfg::TALLYQ, TALLYQSOCKRELAY);

    TallyqStub* stub = TallyqStub::getInstance();
    ASSERT_NE(stub, nullptr);
    // The relay ends itself when its input is silent for its first second,
    // so the first query follows at once.
    Reply r(stub->executeQuery("tallyq vfss"));
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(r->isResponse());
    EXPECT_EQ(r->getName(), "vfss");
    ASSERT_EQ(r->getNumRecords(), 1u);
    uint32_t count = 0;
    uint64_t micros = 0;
    LoggerStub log("test");
    EXPECT_TRUE(r->getRecordList()[0].getIntFP64PairMain("_open_", count, micros, log));
    EXPECT_EQ(count, htobe32(3));
    EXPECT_EQ(micros, htobe64(2));
    Reply again(stub->executeQuery("tallyq other"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->getName(), "other");
    TallyqStub::releaseInstance();
    // The relay ends and the server sees its client go.
    const std::string report = StubHarness::readUntil(server, "\n", 10000);
    EXPECT_EQ(report.compare(0, 9, "received="), 0) << report;
    server.wait(10000);
    EXPECT_TRUE(channelErrors().empty());
}

}  // namespace
