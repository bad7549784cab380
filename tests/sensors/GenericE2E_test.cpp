// The daemon with one generic sensor described by a meta-file, its proxy
// played by the fake proxy, against the test collector: the proxy's records
// arrive as rows, and a proxy that ends is restarted and leaves no zombie.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "FNV1AHash.h"
#include "FdIo.h"
#include "definitions.h"
#include "stubs/StubHarness.h"

namespace {

const std::string daemonPath = CVXSENSORS;
const std::string collectorPath = IPFIX_COLLECTOR;
const std::string proxyPath = VELMAR_BINARY_DIR "/tests/stubs/fakeproxy";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// Text of a record line from "node=" on.
std::string rowOf(const std::string& line) {
    const size_t at = line.find(" node=");
    return at == std::string::npos ? "" : line.substr(at + 1);
}

std::string metricKeyHex(const std::string& node, const std::string& disk) {
    MetricKey k{};
    k.nodeID = FNV1AHash32(node.data(), static_cast<unsigned>(node.size()));
    k.metricClusterID = FNV1AHash32(disk.data(), static_cast<unsigned>(disk.size()));
    k.sensorID = 70;
    k.metricID = 0;
    unsigned char b[sizeof k];
    std::memcpy(b, &k, sizeof k);
    std::string s = "0x";
    char h[3];
    for (unsigned char c : b) {
        std::snprintf(h, sizeof h, "%02x", c);
        s += h;
    }
    return s;
}

std::string metric(const std::string& name, int id, const std::string& type, int len,
                   const std::string& semantic) {
    return "{ name = \"" + name + "\" id = " + std::to_string(id) + " type = \"" + type +
           "\" len = " + std::to_string(len) + " semantic = \"" + semantic + "\" }";
}

TEST(GenericE2E, ProxyRecordsReachTheCollector) {
    StubHarness::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string d = dir.path();
    ASSERT_TRUE(StubHarness::makeDirs(d + "/meta"));
    ASSERT_TRUE(StubHarness::makeDirs(d + "/replies"));

    ChildProcess collector;
    ChildProcess::Options co;
    co.input = ChildProcess::Input::Null;
    co.error = ChildProcess::ErrorOutput::Inherit;
    ASSERT_TRUE(
        collector.start(collectorPath, {collectorPath, "-p", "0", "-v", "-t", "120"}, co).ok());
    const std::string first = StubHarness::readUntil(collector, "\n", 10000);
    ASSERT_EQ(first.compare(0, 5, "port "), 0) << first;
    const std::string port = first.substr(5, first.size() - 6);

    // The first proxy ends after its second answer; the channel starts another.
    std::ofstream(d + "/meta/GenProxy.cfg")
        << "sensorID = 70\n"
        << "proxy = { proxyCmd = \"" << proxyPath << "\" proxyArgs = \"--log=" << d
        << "/proxy.log;--dir=" << d << "/replies;--exit-after=2\" subcmd = \"sample\" }\n"
        << "keyelems = { elem = \"node\" pos = 0 }, { elem = \"sensor\" pos = 1 },\n"
        << "  { elem = \"disk\" pos = 2 }\n"
        << "metrics = " << metric("reads", 7001, "UINT32", 4, "COUNTER") << ",\n  "
        << metric("node", 100, "STRING", 64, "KEYELEM") << ",\n  "
        << metric("sensor", 101, "STRING", 36, "KEYELEM") << ",\n  "
        << metric("disk", 7000, "STRING", 16, "KEYELEM") << ",\n  "
        << metric("bytes", 7002, "UINT64", 8, "COUNTER") << ",\n  "
        << metric("pct", 7003, "FP2_32", 4, "QUANTITY") << ",\n  "
        << metric("secs", 7004, "FP6_64", 8, "QUANTITY") << "\n";
    std::ofstream(d + "/replies/sample.reply")
        << "_response_ begin\n"
        << "_key_ node:- sensor:- disk:sda\n_val_ reads:12 bytes:1000 pct:2.5 secs:2.5\n"
        << "_key_ node:nodeB sensor:GenProxy disk:sdb\n_val_ reads:7 bytes:5 pct:-1.5 secs:0\n"
        << "_response_ end\n";
    const std::string cfgPath = d + "/daemon.cfg";
    std::ofstream(cfgPath) << "daemonize = F\n"
                           << "logfile = \"" << d << "/daemon.log\"\n"
                           << "loglevel = \"info\"\n"
                           << "piddir = \"" << d << "\"\n"
                           << "hostname = \"e2enode\"\n"
                           << "metaCfgdir = \"" << d << "/meta\"\n"
                           << "collectors = {\n  host = \"127.0.0.1\"\n  port = \"" << port
                           << "\"\n}\n"
                           << "sensors = { name = \"GenProxy\" type = \"generic\" period = 1 }\n";

    ChildProcess daemon;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Null;
    o.output = ChildProcess::Output::Pipe;
    ASSERT_TRUE(daemon.start(daemonPath, {daemonPath, "-C", cfgPath}, o).ok());

    // Wait for the second proxy to have answered twice.
    auto events = [&](const std::string& what) {
        std::vector<std::string> found;
        for (const std::string& l : lines(readFile(d + "/proxy.log"))) {
            const size_t sp = l.find(' ');
            if (sp != std::string::npos && l.compare(sp + 1, what.size(), what) == 0) {
                found.push_back(l.substr(0, sp));
            }
        }
        return found;
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (events("request").size() < 4 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::vector<std::string> starts = events("start");
    ASSERT_GE(starts.size(), 2u) << readFile(d + "/proxy.log") << readFile(d + "/daemon.log");
    EXPECT_NE(starts[0], starts[1]);
    // The daemon is running and its first proxy has ended: nothing is left
    // of it, not even a zombie.
    ASSERT_EQ(kill(daemon.pid(), 0), 0);
    errno = 0;
    EXPECT_EQ(kill(std::stoi(starts[0]), 0), -1);
    EXPECT_EQ(errno, ESRCH);

    daemon.signal(SIGTERM);
    const std::string daemonOut = StubHarness::readUntil(daemon, "\x01", 30000);
    EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(30000)), 0) << daemonOut;
    // The collector has read everything once it reports the close.
    std::string out;
    char buf[4096];
    FdIo::Deadline closing(30000);
    while (out.find(" closed (") == std::string::npos ||
           out.find('\n', out.find(" closed (")) == std::string::npos) {
        size_t got = 0;
        if (collector.read(buf, sizeof buf, got, closing.remainingMs()) != FdIo::IoResult::Ok) {
            break;
        }
        out.append(buf, got);
    }
    collector.signal(SIGTERM);
    out += StubHarness::readUntil(collector, "\x01", 10000);
    collector.wait(5000);

    const std::string rowA = "node=\"e2enode\" sensor=\"GenProxy\" disk=\"sda\" metric_key=" +
                             metricKeyHex("e2enode", "sda") +
                             " reads=12 bytes=1000 pct=250 secs=2500000";
    const std::string rowB = "node=\"nodeB\" sensor=\"GenProxy\" disk=\"sdb\" metric_key=" +
                             metricKeyHex("nodeB", "sdb") +
                             " reads=7 bytes=5 pct=4294967147 secs=0";
    int a = 0, b = 0;
    for (const std::string& l : lines(out)) {
        EXPECT_NE(l.compare(0, 6, "ERROR "), 0) << l;
        const std::string r = rowOf(l);
        if (r.empty()) continue;
        if (r == rowA) {
            ++a;
        } else if (r == rowB) {
            ++b;
        } else {
            ADD_FAILURE() << "unexpected row: " << l;
        }
    }
    // Four answered samples, two rows each.
    EXPECT_GE(a, 4) << out;
    EXPECT_EQ(a, b);

    // The daemon's shutdown released the proxy: the last one read end of input.
    for (int i = 0; i < 100 && events("eof").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(events("eof").size(), 1u) << readFile(d + "/proxy.log");
}

}  // namespace
