// The built daemon with one live collector beside one that misbehaves: a
// collector that accepts and never reads must cost the live one nothing
// (its own bounded backlog overflows, it is dropped and connected again,
// and what it got is whole messages only, as both decoders confirm), and a
// collector that closes every connection at once is retried about once a
// second with one log line for the whole outage. Normal and Blaster mode.
// A collector behind a slow path gets each sample as its socket drains, and
// one that reads at an ordinary rate gets every disk sample of 20,000 disks
// whole.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"
#include "IpfixDecoder.h"
#include "MisbehavingCollector.h"
#include "stubs/StubHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Collector;
using e2e::lines;
using e2e::readFile;
using nettest::MisbehavingCollector;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// One connection's bytes through the strict decoder: how many whole
// messages it framed, the decoder's errors, whether framing broke, and the
// length of the prefix made of whole messages (a dropped connection may
// end inside its last message, nowhere else).
struct StreamCheck {
    uint64_t messages = 0;
    uint64_t errors = 0;
    bool broken = false;
    size_t wholeBytes = 0;
    std::string report;
};

StreamCheck decodeStream(uint32_t conn, const std::string& bytes) {
    StreamCheck c;
    std::ostringstream out;
    ipfixtool::IpfixDecoder decoder(conn, out, false);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t at = 0;
    while (at < bytes.size() && !c.broken) {
        const size_t take = std::min(decoder.bytesWanted(), bytes.size() - at);
        const ipfixtool::IpfixDecoder::Feed f = decoder.addBytes(data + at, take);
        at += take;
        if (f == ipfixtool::IpfixDecoder::Feed::Message) c.wholeBytes = at;
        c.broken = f == ipfixtool::IpfixDecoder::Feed::Broken;
    }
    c.messages = decoder.messages();
    c.errors = decoder.errors();
    c.report = out.str();
    return c;
}

#ifdef FIXBUF_CHECK
// Reads the child's output onto text until it holds `what` `times` times.
void readUntilCount(ChildProcess& child, std::string& text, const std::string& what, size_t times) {
    FdIo::Deadline deadline(10000);
    char buf[4096];
    while (e2e::count(text, what) < times) {
        std::size_t got = 0;
        if (child.read(buf, sizeof buf, got, deadline.remainingMs()) != FdIo::IoResult::Ok) break;
        text.append(buf, got);
    }
}

// The whole-message part of every stream through the libfixbuf collector,
// one connection each; its summary line, or what it printed on a failure.
std::string fixbufSummary(const std::vector<std::string>& streams) {
    ChildProcess tool;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Null;
    o.error = ChildProcess::ErrorOutput::Inherit;
    if (!tool.start(FIXBUF_CHECK, {FIXBUF_CHECK, "-p", "0", "-t", "60"}, o).ok())
        return "fixbuf_check did not start";
    std::string text = StubHarness::readUntil(tool, "\n", 10000);
    const unsigned port = static_cast<unsigned>(std::atoi(text.c_str() + 5));
    size_t sent = 0;
    for (const std::string& s : streams) {
        if (s.empty()) continue;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            size_t at = 0;
            while (at < s.size()) {
                const ssize_t n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
        }
        close(fd);
        ++sent;
        // One connection after another: this one is read to its end first.
        readUntilCount(tool, text, " closed messages=", sent);
    }
    tool.signal(SIGTERM);
    readUntilCount(tool, text, "summary ", 1);
    tool.wait(5000);
    const size_t at = text.find("summary ");
    return at == std::string::npos ? text : text.substr(at, text.find('\n', at) - at);
}
#endif

class CollectorStall : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    void TearDown() override {
        if (daemon.pid() > 0) {
            daemon.signal(SIGKILL);
            daemon.wait();
        }
    }

    // A generic sensor of `rows` rows a sample, answered by the fake proxy.
    void writeGenericSensor(int rows) {
        const std::string d = dir.path();
        ASSERT_TRUE(StubHarness::makeDirs(d + "/meta"));
        ASSERT_TRUE(StubHarness::makeDirs(d + "/replies"));
        std::ofstream(d + "/meta/GenBig.cfg")
            << StubHarness::genericMetaText(FAKEPROXY, "--dir=" + d + "/replies");
        std::ofstream reply(d + "/replies/stats.reply");
        reply << "_response_ begin\n";
        for (int i = 0; i < rows; ++i)
            reply << "_key_ node:- sensor:- item:row" << i << "\n_val_ pid:" << i << " count:" << i
                  << "\n";
        reply << "_response_ end\n";
    }

    // Starts the daemon exporting to the two collector ports, with the
    // given sensor or Blaster settings.
    bool startDaemon(const std::string& live, const std::string& other, const std::string& body) {
        const std::string d = dir.path();
        std::ofstream(d + "/daemon.cfg")
            << "logfile = \"" << d << "/daemon.log\"\nloglevel = \"info\"\ndaemonize = F\n"
            << "piddir = \"" << d << "\"\ndelay_initial_poll = F\nhostname = \"e2enode\"\n"
            << "metaCfgdir = \"" << d << "/meta\"\n"
            << "collectors = { host = \"127.0.0.1\" port = \"" << live
            << "\" }, { host = \"127.0.0.1\" port = \"" << other << "\" }\n"
            << body;
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Null;
        o.output = ChildProcess::Output::Inherit;
        o.error = ChildProcess::ErrorOutput::Inherit;
        return daemon.start(CVXSENSORS, {CVXSENSORS, "-C", d + "/daemon.cfg"}, o).ok();
    }

    std::string log() const { return readFile(dir.path() + "/daemon.log"); }

    // The log lines that name the collector at `port`.
    static std::vector<std::string> naming(const std::string& text, const std::string& port) {
        std::vector<std::string> out;
        for (const std::string& line : lines(text))
            if (line.find("127.0.0.1:" + port + " ") != std::string::npos ||
                line.find("127.0.0.1:" + port + ":") != std::string::npos)
                out.push_back(line);
        return out;
    }

    // A collector that never reads is logged up when its first connection
    // takes data; its outage is one Error line, however often it is dropped
    // and connected again, and it is never logged back. The live collector
    // is logged once, as up.
    void expectOneLinePerOutage(const std::string& text, const std::string& stalledPort,
                                const std::string& livePort) {
        const std::vector<std::string> stalled = naming(text, stalledPort);
        ASSERT_EQ(stalled.size(), 2u) << text;
        EXPECT_NE(stalled[0].find("(127.0.0.1) successfully established."), std::string::npos)
            << text;
        EXPECT_NE(stalled[1].find("[Error  ]"), std::string::npos) << text;
        const std::vector<std::string> live = naming(text, livePort);
        ASSERT_EQ(live.size(), 1u) << text;
        EXPECT_NE(live[0].find("(127.0.0.1) successfully established."), std::string::npos) << text;
    }

    // Watches the size of the live collector's output for `seconds`: the
    // longest time (seconds) it did not grow, from its first growth on.
    double longestStill(const std::string& path, int seconds) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        off_t last = -1;
        Clock::time_point grew;
        bool started = false;
        double longest = 0;
        while (Clock::now() < end) {
            struct stat st;
            const off_t size = stat(path.c_str(), &st) == 0 ? st.st_size : 0;
            const Clock::time_point now = Clock::now();
            if (size != last) {
                if (started)
                    longest = std::max(longest, std::chrono::duration<double>(now - grew).count());
                started = started || last >= 0;
                last = size;
                grew = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (started)
            longest = std::max(longest, std::chrono::duration<double>(Clock::now() - grew).count());
        return started ? longest : seconds;
    }

    // SIGTERM; the exit code, and the seconds the stop took.
    int stop(double& seconds) {
        const auto begin = Clock::now();
        daemon.signal(SIGTERM);
        const int code = StubHarness::exitCodeOf(daemon.wait(10000));
        seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        return code;
    }

    // Every connection of the collector (at least `connections`: a stalled
    // one is dropped and connected again) decodes without an error in both
    // decoders, starting with its templates, and ends, at worst, inside its
    // last message.
    void expectWholeMessages(MisbehavingCollector& stalled, size_t connections = 2) {
        std::vector<std::string> streams = stalled.drain(2000);
        ASSERT_GE(streams.size(), connections);
        uint64_t messages = 0;
        for (size_t i = 0; i < streams.size(); ++i) {
            const StreamCheck c = decodeStream(static_cast<uint32_t>(i + 1), streams[i]);
            EXPECT_FALSE(c.broken) << "connection " << i + 1 << "\n" << c.report;
            EXPECT_EQ(c.errors, 0u) << "connection " << i + 1 << "\n" << c.report;
            messages += c.messages;
            streams[i].resize(c.wholeBytes);
        }
        EXPECT_GE(messages, 2u);
#ifdef FIXBUF_CHECK
        const std::string summary = fixbufSummary(streams);
        EXPECT_NE(summary.find(" errors=0"), std::string::npos) << summary;
#endif
    }

    StubHarness::TempDir dir;
    ChildProcess daemon;
};

const char* const kDropped = " does not keep up: more than ";

// Host sensors and a generic sensor of 3,000 rows (about 480 KB a sample):
// the live collector gets every sample on time while the other one is
// dropped again and again, its backlog full or still for the socket
// time-out, at the shortest time-out and the default one.
TEST_F(CollectorStall, LiveCollectorGetsEverySampleBesideOneThatNeverReads) {
    struct Row {
        const char* setting;
        const char* drop;  // what the drops of the stalled collector say
    };
    const Row rows[] = {
        {"sensortcptimeout = 1\n", " took no data for 1 seconds"},
        {"", kDropped},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.setting);
        writeGenericSensor(3000);
        Collector live(dir.path() + "/live.out");
        MisbehavingCollector stalled(MisbehavingCollector::Mode::NeverReads);
        ASSERT_FALSE(live.port.empty());
        ASSERT_FALSE(stalled.port.empty());
        ASSERT_TRUE(startDaemon(live.port, stalled.port,
                                std::string(row.setting) +
                                    "sensors = { name = \"CPU\" period = 1 }, { name = \"Memory\" "
                                    "period = 1 },\n  { name = \"Load\" period = 1 }, { name = "
                                    "\"GenBig\" type = \"generic\" period = 1 }\n"));
        e2e::Stopper guard{daemon};
        const int seconds = kSanitized ? 20 : 25;
        // Samples come every second; the bound leaves room for a loaded machine.
        EXPECT_LE(longestStill(dir.path() + "/live.out", seconds), 2.5);
        double took = 0;
        EXPECT_EQ(stop(took), 0);
        EXPECT_LT(took, 4.0);

        // Every data set's samples, by export second: none missing, and the
        // generic sensor's whole (3,000 rows a second, but for the last one,
        // which the stop may cut).
        std::set<std::string> metadataIds;
        std::map<std::string, std::map<long, long>> rowsAt;  // set id -> second -> rows
        long now = 0;
        const std::string received = live.finish();
        EXPECT_NE(received.find(" errors=0\n"), std::string::npos);
        for (const std::string& line : lines(received)) {
            e2e::Record w = e2e::words(line);
            if (line.rfind("message ", 0) == 0) now = std::atol(w["time"].c_str());
            if (line.rfind("template ", 0) == 0 && w["specs"].rfind("102:", 0) == 0)
                metadataIds.insert(w["id"]);
            if (line.rfind("set ", 0) != 0 || w["id"] == "2" || metadataIds.count(w["id"]) != 0)
                continue;
            rowsAt[w["id"]][now] += std::atol(w["records"].c_str());
        }
        ASSERT_GE(rowsAt.size(), 4u);
        bool genericSeen = false;
        for (const auto& set : rowsAt) {
            EXPECT_GE(set.second.size(), static_cast<size_t>(seconds - 6)) << "set " << set.first;
            long previous = set.second.begin()->first;
            for (const auto& at : set.second) {
                EXPECT_LE(at.first - previous, 2) << "set " << set.first << " at " << at.first;
                previous = at.first;
            }
            if (set.second.begin()->second < 3000) continue;
            genericSeen = true;
            for (const auto& at : set.second) {
                if (at.first == set.second.rbegin()->first) continue;
                EXPECT_EQ(at.second % 3000, 0) << "set " << set.first << " at " << at.first;
            }
        }
        EXPECT_TRUE(genericSeen);

        const std::string text = log();
        // The kernel's own time-out on unacknowledged data may come first.
        EXPECT_TRUE(text.find("Collector 127.0.0.1:" + stalled.port + row.drop) !=
                        std::string::npos ||
                    text.find("127.0.0.1:" + stalled.port + ": Connection timed out (110)") !=
                        std::string::npos)
            << text;
        expectOneLinePerOutage(text, stalled.port, live.port);
        expectWholeMessages(stalled);
        std::remove((dir.path() + "/daemon.log").c_str());
    }
}

// The lines of a collector follow what the daemon knows of its outages. One
// that reads is logged up within seconds of the start, and one that is
// restarted (connections closed, connects refused for a while) is logged
// once per outage and back within seconds each time, however little it is
// sent: a few hundred bytes a second (host sensors) or about 100 KB a
// second (a generic sensor of 600 rows). One that never reads is logged up
// when its first connection takes data, then dropped and connected again
// and again, and that outage is one Error line with no line logging it
// back, however little a new connection carries before it stalls (into a
// small buffer, or the system's, which takes a new connection's templates
// and first small samples whole); one that starts reading during its
// outage is logged back once.
TEST_F(CollectorStall, CollectorLinesFollowWhatItsOutagesShow) {
    enum Kind { NeverReads, ReadsLater, Reads, Restarted };
    struct Row {
        const char* setting;
        int genericRows;    // 0: the host sensors alone
        int receiveBuffer;  // the collector's; 0 the system's
        Kind kind;
    };
    const Row rows[] = {
        {"sensortcptimeout = 1\n", 0, 4096, NeverReads},
        {"sensortcptimeout = 2\n", 0, 4096, NeverReads},
        {"sensortcptimeout = 1\n", 600, 0, NeverReads},
        {"sensortcptimeout = 2\n", 600, 0, ReadsLater},
        {"", 0, 0, Reads},
        {"", 600, 0, Reads},
        {"", 0, 0, Restarted},
        {"", 600, 0, Restarted},
    };
    const char* const kinds[] = {"never reads", "reads later", "reads", "restarted"};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.setting) + std::to_string(row.genericRows) + " rows, " +
                     kinds[row.kind]);
        std::string sensors =
            "sensors = { name = \"CPU\" period = 1 }, { name = \"Memory\" period = 1 }, "
            "{ name = \"Load\" period = 1 }";
        if (row.genericRows > 0) {
            writeGenericSensor(row.genericRows);
            sensors += ", { name = \"GenBig\" type = \"generic\" period = 1 }";
        }
        Collector live(dir.path() + "/live.out");
        const bool reads = row.kind == Reads || row.kind == Restarted;
        MisbehavingCollector other(reads ? MisbehavingCollector::Mode::ReadsThroughSmallWindow
                                         : MisbehavingCollector::Mode::NeverReads,
                                   0, row.receiveBuffer);
        ASSERT_FALSE(live.port.empty());
        ASSERT_FALSE(other.port.empty());
        ASSERT_TRUE(startDaemon(live.port, other.port, row.setting + sensors + "\n"));
        e2e::Stopper guard{daemon};
        auto waitFor = [](const std::function<bool()>& done, int seconds) {
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            while (!done() && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return done();
        };
        const std::string up = "127.0.0.1:" + other.port + " (127.0.0.1) successfully";
        auto ups = [&] { return e2e::count(log(), up); };
        // Seconds, as a user would notice them, not a fast machine's figure.
        const int soon = kSanitized ? 8 : 5;
        EXPECT_TRUE(waitFor([&] { return ups() >= 1; }, soon));
        size_t expectedUps = 1;
        if (row.kind == NeverReads || row.kind == ReadsLater) {
            EXPECT_TRUE(waitFor([&] { return other.connections() >= 3; }, 60));
        }
        if (row.kind == ReadsLater) {
            other.startReading();
            EXPECT_TRUE(waitFor([&] { return ups() >= 2; }, 60));
            expectedUps = 2;
        }
        if (row.kind == Restarted) {
            for (int restart = 0; restart < 3; ++restart) {
                ASSERT_TRUE(other.restart(1500));
                EXPECT_TRUE(waitFor([&] { return ups() >= expectedUps + 1; }, soon)) << restart;
                ++expectedUps;
            }
        }
        // Time for a further line, were there one.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        double took = 0;
        EXPECT_EQ(stop(took), 0);
        live.finish();
        const std::string text = log();
        // Up first, then each outage one Error line and each return one line.
        const std::vector<std::string> named = naming(text, other.port);
        const size_t outages = row.kind == Reads ? 0 : row.kind == Restarted ? 3 : 1;
        EXPECT_EQ(named.size(), expectedUps + outages) << text;
        for (size_t i = 0; i < named.size(); ++i) {
            const bool isUp = i % 2 == 0;
            EXPECT_NE(named[i].find(isUp ? up : "[Error  ]"), std::string::npos) << i << "\n"
                                                                                 << text;
        }
        std::remove((dir.path() + "/daemon.log").c_str());
    }
}

#ifdef VELMAR_HAVE_BLASTER
// The Blaster sends as fast as it may: the stalled collector's backlog
// overflows within seconds, and the live collector never waits for it.
TEST_F(CollectorStall, BlasterFeedsTheLiveCollectorBesideOneThatNeverReads) {
    Collector live(dir.path() + "/live.out");
    MisbehavingCollector stalled(MisbehavingCollector::Mode::NeverReads);
    ASSERT_FALSE(live.port.empty());
    ASSERT_FALSE(stalled.port.empty());
    ASSERT_TRUE(startDaemon(live.port, stalled.port,
                            "blaster = { blastertype = \"metric\" blasterperiod = 2000 }\n"));
    e2e::Stopper guard{daemon};
    EXPECT_LE(longestStill(dir.path() + "/live.out", 15), 2.5);
    double took = 0;
    EXPECT_EQ(stop(took), 0);
    EXPECT_LT(took, 4.0);
    EXPECT_NE(live.finish().find(" errors=0\n"), std::string::npos);

    const std::string text = log();
    EXPECT_NE(text.find("Collector 127.0.0.1:" + stalled.port + kDropped), std::string::npos)
        << text;
    expectOneLinePerOutage(text, stalled.port, live.port);
    expectWholeMessages(stalled);
}
#endif

// A collector behind a slow path (a small receive window) that reads all it
// gets: what its socket could not take at once reaches it as the socket
// drains, not a period later with the next sample, and its backlog never
// piles up to the bound. Samples of about 3 MB, more than the socket takes
// at once.
TEST_F(CollectorStall, SlowPathCollectorGetsEachSampleAsTheSocketDrains) {
    writeGenericSensor(20000);
    MisbehavingCollector slow(MisbehavingCollector::Mode::ReadsThroughSmallWindow);
    Collector live(dir.path() + "/live.out");
    ASSERT_FALSE(slow.port.empty());
    ASSERT_FALSE(live.port.empty());
    ASSERT_TRUE(startDaemon(slow.port, live.port,
                            "sensors = { name = \"GenBig\" type = \"generic\" period = 6 }\n"));
    e2e::Stopper guard{daemon};
    std::this_thread::sleep_for(std::chrono::seconds(kSanitized ? 26 : 22));
    double took = 0;
    EXPECT_EQ(stop(took), 0);
    EXPECT_LT(took, 4.0);

    // From the first message of a sample to its last; a tail left for the
    // next sample would take the whole period of 6 s.
    std::map<uint32_t, std::pair<Clock::time_point, Clock::time_point>> spans;
    for (const MisbehavingCollector::Arrival& a : slow.arrivals()) {
        auto it = spans.emplace(a.exportTime, std::make_pair(a.at, a.at)).first;
        it->second.second = a.at;
    }
    EXPECT_GE(spans.size(), 3u);
    for (const auto& span : spans)
        EXPECT_LT(std::chrono::duration<double>(span.second.second - span.second.first).count(),
                  3.0)
            << "sample of " << span.first;
    EXPECT_EQ(slow.connections(), 1u);
    const std::string text = log();
    EXPECT_EQ(text.find("[Error  ]"), std::string::npos) << text;
    expectWholeMessages(slow, 1);
}

#ifdef TALLYQRELAY
// Disk samples of 20,000 disks (8.6 MB each on the wire, more than twice the
// backlog's spare bytes) to a collector that reads at 30 MB a second
// through a small receive window: every sample arrives whole, and the
// collector is never dropped; it is logged up once.
TEST_F(CollectorStall, DiskSamplesOf20000DisksReachACollectorReadingAtAnOrdinaryRate) {
    const int disks = 20000, samples = 10;
    // The fixture's first record, once per disk, each with a name of its own.
    const std::string fixture =
        readFile(std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/fsstats/ds.reply");
    const size_t from = fixture.find('\n') + 1;
    const std::string record = fixture.substr(from, fixture.find("\n_tallyq::", from) + 1 - from);
    const size_t name = record.find(" _d_ ") + 5;
    std::ofstream reply(dir.path() + "/tallyq ds.reply");
    reply << fixture.substr(0, from);
    for (int i = 0; i < disks; ++i)
        reply << record.substr(0, name) << "d" << i
              << record.substr(record.find_first_of(" \n", name));
    reply << "_response_ end\n";
    reply.close();
    StubHarness::ScopedEnv env;
    env.set("TALLYQRELAY_DIR", dir.path().c_str());

    MisbehavingCollector reader(MisbehavingCollector::Mode::ReadsThroughSmallWindow, 30e6);
    Collector live(dir.path() + "/live.out");
    ASSERT_FALSE(reader.port.empty());
    ASSERT_FALSE(live.port.empty());
    ASSERT_TRUE(startDaemon(reader.port, live.port,
                            std::string("tallyq = \"" TALLYQRELAY "\"\nsensors = { name = "
                                        "\"DRIXDisk\" period = ") +
                                (kSanitized ? "3" : "2") + " }\n"));
    e2e::Stopper guard{daemon};
    // Samples by export time, as they came whole.
    auto sampleTimes = [&] {
        std::set<uint32_t> times;
        for (const MisbehavingCollector::Arrival& a : reader.arrivals()) times.insert(a.exportTime);
        return times;
    };
    const auto end = Clock::now() + std::chrono::seconds(90);
    while (sampleTimes().size() < samples + 2 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double took = 0;
    EXPECT_EQ(stop(took), 0);
    EXPECT_LT(took, 4.0);
    live.finish();

    // Records of the disk set by export time; the last sample may be cut by
    // the stop, every other one holds every disk.
    std::vector<std::string> streams = reader.drain(2000);
    ASSERT_EQ(streams.size(), 1u);
    const StreamCheck check = decodeStream(1, streams[0]);
    EXPECT_EQ(check.errors, 0u) << check.report;
    std::map<std::string, std::map<long, long>> recordsAt;  // set id -> time -> records
    long now = 0;
    for (const std::string& line : lines(check.report)) {
        e2e::Record w = e2e::words(line);
        if (line.rfind("message ", 0) == 0) now = std::atol(w["time"].c_str());
        if (line.rfind("set ", 0) == 0) recordsAt[w["id"]][now] += std::atol(w["records"].c_str());
    }
    std::map<long, long> diskRecords;
    for (const auto& set : recordsAt)
        if (set.second.begin()->second >= disks) diskRecords = set.second;
    ASSERT_GE(diskRecords.size(), static_cast<size_t>(samples) + 1);
    size_t whole = 0;
    for (const auto& at : diskRecords) {
        if (at.first == diskRecords.rbegin()->first) continue;
        EXPECT_EQ(at.second, disks) << "sample of " << at.first;
        whole += at.second == disks;
    }
    EXPECT_GE(whole, static_cast<size_t>(samples));
    EXPECT_EQ(reader.connections(), 1u);
    const std::string text = log();
    // A sensor slow to parse 20,000 disks on a loaded machine is not the
    // collectors' doing; every other Error is.
    for (const std::string& line : lines(text)) {
        if (line.find("[Error  ]") == std::string::npos ||
            line.find("slow to respond") != std::string::npos ||
            line.find("despite slow response") != std::string::npos)
            continue;
        ADD_FAILURE() << line;
    }
    const std::vector<std::string> named = naming(text, reader.port);
    ASSERT_EQ(named.size(), 1u) << text;
    EXPECT_NE(named[0].find("successfully established."), std::string::npos) << text;
    streams[0].resize(check.wholeBytes);
#ifdef FIXBUF_CHECK
    const std::string summary = fixbufSummary(streams);
    EXPECT_NE(summary.find(" errors=0"), std::string::npos) << summary;
#endif
}
#endif

// A collector that accepts and closes each connection at once: about one
// connection a second, and one log line for the whole outage, in both
// modes.
TEST_F(CollectorStall, CollectorThatClosesAtOnceIsRetriedAboutOnceASecond) {
    struct Row {
        const char* mode;
        const char* body;
    };
    const std::vector<Row> rows = {
        {"normal", "sensors = { name = \"CPU\" period = 1 }, { name = \"Load\" period = 1 }\n"},
#ifdef VELMAR_HAVE_BLASTER
        {"blaster", "blaster = { blastertype = \"metric\" blasterperiod = 2000 }\n"},
#endif
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        StubHarness::TempDir runDir;
        Collector live(runDir.path() + "/live.out");
        MisbehavingCollector closing(MisbehavingCollector::Mode::ClosesAtOnce);
        ASSERT_FALSE(live.port.empty());
        ASSERT_FALSE(closing.port.empty());
        const auto begin = Clock::now();
        ASSERT_TRUE(startDaemon(live.port, closing.port, row.body));
        e2e::Stopper guard{daemon};
        EXPECT_LE(longestStill(runDir.path() + "/live.out", 6), 2.5);
        double took = 0;
        EXPECT_EQ(stop(took), 0);
        const double ran = std::chrono::duration<double>(Clock::now() - begin).count();
        closing.stopAccepting();

        EXPECT_GE(closing.connections(), 2u);
        EXPECT_LE(static_cast<double>(closing.connections()), 2 * ran + 2);
        // The one line names the collector, whichever failure came first.
        const std::string text = log();
        EXPECT_EQ(e2e::count(text, "[Error  ]"), 1u) << text;
        const size_t error = text.find("[Error  ]");
        EXPECT_NE(text.substr(error, text.find('\n', error) - error).find(closing.port),
                  std::string::npos)
            << text;
        EXPECT_LT(lines(text).size(), 40u) << text;
        std::remove((dir.path() + "/daemon.log").c_str());
    }
}

}  // namespace
