// End to end: a controller in this process runs the test sensors and exports
// to the test collectors over loopback; the tests assert on what the
// collectors decoded.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "Configuration.h"
#include "CtrlTestSupport.h"
#include "GuideTables.h"
#include "LineReader.h"
#include "SensorCtrl.h"
#include "SensorDefaultConfig.h"
#include "SensorFactory.h"
#include "SensorStub.h"

namespace {

using ctrltest::FakeSensor;
using ctrltest::LogCapture;
using Clock = std::chrono::steady_clock;

// A sensor with large samples (1000 records of 100 bytes every 50 ms) that
// fills a collector's buffers quickly when it stops reading.
AbstractSensor* makeBulk() {
    auto* s = new FakeSensor(SensorID::Load, {ROW_HEADER_NODE, ROW_HEADER_SENSOR}, {2});
    s->setRows(0, 1000);
    s->periodAfterInit = 50000;
    return s;
}
RegisterSensorGenerator<FakeSensor> registerBulk(SensorID::Load, makeBulk);

// A sensor that hangs in its first sample until the test opens its gate.
std::atomic<FakeSensor*> hanging{nullptr};
AbstractSensor* makeHanging() {
    auto* s = new FakeSensor(SensorID::Memory, {ROW_HEADER_NODE, ROW_HEADER_SENSOR}, {2});
    s->setRows(0, 1);
    s->sampleGate.close();
    hanging = s;
    return s;
}
RegisterSensorGenerator<FakeSensor> registerHanging(SensorID::Memory, makeHanging);

// One collector program, its output read line by line.
class Tool {
  public:
    Tool(const std::string& path, const std::vector<std::string>& args) {
        std::vector<std::string> argv = {path};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess::Options o;
        o.error = ChildProcess::ErrorOutput::Inherit;
        started = child.start(path, argv, o).ok();
        if (started) reader = std::make_unique<LineReader>(child.outputFd(), 1 << 20);
    }
    ~Tool() {
        if (child.pid() > 0) {
            child.signal(SIGKILL);
            child.wait(2000);
        }
    }

    // The port from the first line, 0 when it did not come.
    uint16_t port() {
        std::string line;
        if (!started || reader->readLine(line, 5000) != LineReader::Status::Line) return 0;
        unsigned p = 0;
        return sscanf(line.c_str(), "port %u", &p) == 1 ? static_cast<uint16_t>(p) : 0;
    }

    // Stops it and returns its exit status; every line is then in `lines`.
    int stop() {
        child.signal(SIGTERM);
        std::string line;
        while (reader->readLine(line, 5000) == LineReader::Status::Line) lines.push_back(line);
        ChildProcess::WaitResult w = child.wait(5000);
        return w.reaped && WIFEXITED(w.status) ? WEXITSTATUS(w.status) : -1;
    }

    std::string text() const {
        std::string all;
        for (const std::string& l : lines) all += l + "\n";
        return all;
    }

    std::vector<std::string> lines;

  private:
    ChildProcess child;
    std::unique_ptr<LineReader> reader;
    bool started = false;
};

// One decoded message with what it carried.
struct Msg {
    unsigned conn = 0, seq = 0, length = 0;
    std::vector<unsigned> templates;                  // template ids defined
    std::vector<std::pair<unsigned, unsigned>> sets;  // data set id, records
};

// Messages in the order the collector printed them.
std::vector<Msg> parseMessages(const std::vector<std::string>& lines) {
    std::vector<Msg> out;
    for (const std::string& l : lines) {
        unsigned c, s, a, b, d;
        if (sscanf(l.c_str(), "message conn=%u seq=%u time=%u domain=%u length=%u", &c, &s, &a, &b,
                   &d) == 5) {
            Msg m;
            m.conn = c;
            m.seq = s;
            m.length = d;
            out.push_back(m);
        } else if (!out.empty() &&
                   sscanf(l.c_str(), "template conn=%u seq=%u id=%u", &c, &s, &a) == 3) {
            out.back().templates.push_back(a);
        } else if (!out.empty() &&
                   sscanf(l.c_str(), "set conn=%u seq=%u id=%u length=%u records=%u", &c, &s, &a,
                          &b, &d) == 5 &&
                   a != 2) {
            out.back().sets.push_back({a, d});
        }
    }
    return out;
}

bool hasTemplate(const Msg& m, unsigned id) {
    for (unsigned t : m.templates)
        if (t == id) return true;
    return false;
}

bool hasSet(const Msg& m, unsigned id) {
    for (const auto& s : m.sets)
        if (s.first == id) return true;
    return false;
}

// A loopback port nobody listens on.
uint16_t deadPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

class SensorCtrlExport : public ::testing::Test {
  protected:
    void SetUp() override { log = std::make_unique<LogCapture>(dir); }

    void TearDown() override {
        if (SensorCtrl::getSensorCtrl() != nullptr) SensorCtrl::terminateSensorCtrl(nullptr);
        log.reset();
    }

    void start(const std::string& sensors, const std::vector<uint16_t>& ports,
               const std::string& settings = "", const std::string& host = "127.0.0.1") {
        std::string text = settings + "collectors = ";
        for (size_t i = 0; i < ports.size(); ++i)
            text += (i ? ", " : "") + std::string("{ host = \"") + host + "\" port = \"" +
                    std::to_string(ports[i]) + "\" }";
        text += "\nsensors = " + sensors + "\n";
        const std::string file = dir.file("sensors.cfg");
        std::ofstream(file) << text;
        cfg = std::make_unique<Cfg::Configuration>(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                                                   defaults.velmarSensorStore);
        ASSERT_TRUE(cfg->loadConfigFile(file, nullptr));
        ASSERT_EQ(SensorCtrl::startSensorCtrl(nullptr, cfg.get()), 0);
        for (SensorCtrlBlock* b : SensorCtrl::getSensorCtrl()->sensors)
            for (const IPFIXTemplSet& t : b->metricsTemplate)
                metricIds.push_back(t.getTemplateID());
    }

    double stop() {
        const auto t = Clock::now();
        SensorCtrl::terminateSensorCtrl(nullptr);
        return std::chrono::duration<double>(Clock::now() - t).count();
    }

    static void run(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // The log file read as it grows (LogCapture::text() would end the logging).
    std::string logged() const {
        std::ifstream in(dir.file("log"));
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    // On every connection, every metric template comes before its first
    // data, in the message right before it, with the same sequence number.
    void expectTemplatesFirst(const std::vector<Msg>& msgs) {
        std::set<unsigned> conns;
        for (const Msg& m : msgs) conns.insert(m.conn);
        ASSERT_FALSE(conns.empty());
        for (unsigned c : conns) {
            std::vector<Msg> own;
            for (const Msg& m : msgs)
                if (m.conn == c) own.push_back(m);
            EXPECT_FALSE(own.front().templates.empty()) << "connection " << c;
            for (unsigned id : metricIds) {
                size_t data = 0;
                while (data < own.size() && !hasSet(own[data], id)) ++data;
                if (data == own.size()) continue;
                ASSERT_GT(data, 0u) << "data of template " << id << " first on connection " << c;
                EXPECT_TRUE(hasTemplate(own[data - 1], id)) << "template " << id;
                EXPECT_EQ(own[data - 1].seq, own[data].seq);
                for (size_t i = 0; i + 1 < data; ++i) EXPECT_FALSE(hasTemplate(own[i], id));
            }
        }
    }

    static int templateCount(const std::vector<Msg>& msgs, unsigned id) {
        int n = 0;
        for (const Msg& m : msgs) n += hasTemplate(m, id) ? 1 : 0;
        return n;
    }

    ctrltest::TempDir dir;
    std::unique_ptr<LogCapture> log;
    Cfg::SensorDefaultConfig defaults;
    std::unique_ptr<Cfg::Configuration> cfg;
    std::vector<unsigned> metricIds;
};

// Both decoders accept the whole stream; a connection starts with the
// template packet, then the data packet, for every virtual sensor.
TEST_F(SensorCtrlExport, TemplatesThenDataAndBothDecodersAgree) {
    Tool collector(IPFIX_COLLECTOR, {"-p", "0", "-v"});
    const uint16_t p1 = collector.port();
    ASSERT_NE(p1, 0);
#ifdef FIXBUF_CHECK
    Tool fixbuf(FIXBUF_CHECK, {"-p", "0", "-F", "5802", "-F", "5903"});
    const uint16_t p2 = fixbuf.port();
    ASSERT_NE(p2, 0);
    start("{ name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }", {p1, p2});
#else
    start("{ name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }", {p1});
#endif
    ASSERT_EQ(metricIds.size(), 3u);
    run(2600);
    EXPECT_LT(stop(), 1.0);

    EXPECT_EQ(collector.stop(), 0) << collector.text();
    const std::vector<Msg> msgs = parseMessages(collector.lines);
    expectTemplatesFirst(msgs);
    for (unsigned id : metricIds) EXPECT_EQ(templateCount(msgs, id), 1) << id;
    const std::string text = collector.text();
    EXPECT_NE(text.find("test1_constant=42"), std::string::npos) << text;
    EXPECT_NE(text.find("test2_name=\"gamma\""), std::string::npos);
    EXPECT_NE(text.find("summary connections=1 "), std::string::npos);
    EXPECT_NE(text.find(" errors=0\n"), std::string::npos);

#ifdef FIXBUF_CHECK
    EXPECT_EQ(fixbuf.stop(), 0) << fixbuf.text();
    const std::string fb = fixbuf.text();
    EXPECT_NE(fb.find("errors=0"), std::string::npos) << fb;
    EXPECT_NE(fb.find("field conn=1 tid=" + std::to_string(metricIds[0]) + " id=5802 value=42"),
              std::string::npos)
        << fb;
    // One record of TestSensor1 per sample, three rows of TestSensor2's first
    // virtual sensor, one of its second: the counts keep those proportions.
    unsigned long long n1 = 0, n2 = 0, n3 = 0;
    for (const std::string& l : fixbuf.lines) {
        unsigned tid = 0;
        unsigned long long count = 0;
        if (sscanf(l.c_str(), "records tid=%u count=%llu", &tid, &count) != 2) continue;
        if (tid == metricIds[0]) n1 = count;
        if (tid == metricIds[1]) n2 = count;
        if (tid == metricIds[2]) n3 = count;
    }
    EXPECT_GE(n1, 2u);
    EXPECT_EQ(n2, 3 * n3);
    EXPECT_GE(n3, 2u);
#endif
}

// A restarted collector gets every template again before data on its new
// connection; the other collector never gets a template twice.
TEST_F(SensorCtrlExport, RestartedCollectorGetsTemplatesAgain) {
    auto restarted = std::make_unique<Tool>(IPFIX_COLLECTOR, std::vector<std::string>{"-p", "0"});
    const uint16_t pa = restarted->port();
    Tool steady(IPFIX_COLLECTOR, {"-p", "0"});
    const uint16_t pb = steady.port();
    ASSERT_NE(pa, 0);
    ASSERT_NE(pb, 0);
    start("{ name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }", {pa, pb});
    run(2200);
    EXPECT_EQ(restarted->stop(), 0);
    const std::vector<Msg> before = parseMessages(restarted->lines);
    run(1500);
    restarted =
        std::make_unique<Tool>(IPFIX_COLLECTOR, std::vector<std::string>{"-p", std::to_string(pa)});
    ASSERT_EQ(restarted->port(), pa);
    run(3200);
    stop();

    EXPECT_EQ(restarted->stop(), 0);
    const std::vector<Msg> after = parseMessages(restarted->lines);
    ASSERT_FALSE(after.empty()) << restarted->text();
    expectTemplatesFirst(before);
    expectTemplatesFirst(after);
    for (unsigned id : metricIds) EXPECT_EQ(templateCount(after, id), 1) << id;

    EXPECT_EQ(steady.stop(), 0);
    const std::vector<Msg> other = parseMessages(steady.lines);
    for (unsigned id : metricIds) EXPECT_EQ(templateCount(other, id), 1) << id;
    EXPECT_NE(steady.text().find("summary connections=1 "), std::string::npos);

    const std::string logText = log->text();
    const size_t lost = logText.find("Collector 127.0.0.1:" + std::to_string(pa) +
                                     " closed the connection. Reconnecting!");
    ASSERT_NE(lost, std::string::npos) << logText;
    // It went away: its new connection is logged up as soon as it takes data.
    EXPECT_NE(logText.find("Connection to 127.0.0.1:" + std::to_string(pa) +
                               " (127.0.0.1) successfully established.",
                           lost),
              std::string::npos)
        << logText;
    // The outage of the restarted collector is logged once, however many
    // samples and connection attempts it missed.
    EXPECT_EQ(LogCapture::count(logText, "[Error  ]"), 1u) << logText;
}

// With one collector down, the healthy one receives every virtual sensor of
// every sample.
TEST_F(SensorCtrlExport, HealthyCollectorGetsEverySample) {
    Tool healthy(IPFIX_COLLECTOR, {"-p", "0", "-v"});
    const uint16_t ph = healthy.port();
    ASSERT_NE(ph, 0);
    const uint16_t down = deadPort();
    start("{ name = \"TestSensor2\" period = 1 }", {down, ph});
    run(4200);
    stop();
    EXPECT_EQ(healthy.stop(), 0);

    // Sample n has rows valued 10n, 10n+1, 10n+2 and a total of 30n+3.
    std::set<unsigned> rowsOf, totalsOf;
    for (const std::string& l : healthy.lines) {
        size_t at = l.find("test2_row_value=");
        if (at != std::string::npos) rowsOf.insert(std::stoul(l.substr(at + 16)) / 10);
        at = l.find("test2_total=");
        if (at != std::string::npos) totalsOf.insert((std::stoul(l.substr(at + 12)) - 3) / 30);
    }
    ASSERT_GE(rowsOf.size(), 4u) << healthy.text();
    EXPECT_EQ(rowsOf, totalsOf);
    EXPECT_EQ(*rowsOf.begin(), 1u);
    EXPECT_EQ(*rowsOf.rbegin(), rowsOf.size());

    const std::string logText = log->text();
    const std::string service = "for service " + std::to_string(down);
    EXPECT_LE(LogCapture::count(logText, service), 1u) << logText;
    EXPECT_EQ(LogCapture::count(logText, "Failed to connect to collector at 127.0.0.1") +
                  LogCapture::count(logText, "Error on socket to 127.0.0.1"),
              1u)
        << logText;
}

// A collector that is down, and one whose name does not resolve: the outage
// line names host and port and the cause (never an empty address), and the
// guide's troubleshooting table has a row for it. Ten failed connects on,
// the name is looked up again; that it still does not resolve is logged
// too, once, and is a row of the table as well.
TEST_F(SensorCtrlExport, CollectorFailureLinesAreTheGuidesRows) {
    const std::vector<std::regex> rows = guide::logLinePatterns();
    struct Row {
        const char* host;
        std::string expected;  // the first Error line, after its host and port are put in
        const char* lookup;    // the line of the later look-up, or null to stop before it
    };
    const Row cases[] = {
        {"127.0.0.1", "Error on socket to 127.0.0.1:PORT: Connection refused (111)", nullptr},
        {"no-such-collector.invalid",
         "Failed to connect to collector at no-such-collector.invalid (CAUSE) for service PORT, "
         "will retry",
         "Failed to resolve collector no-such-collector.invalid ip address, will retry"},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.host);
        log.reset();
        std::remove(dir.file("log").c_str());
        log = std::make_unique<LogCapture>(dir);
        const std::string port = std::to_string(deadPort());
        start("{ name = \"TestSensor2\" period = 1 }", {static_cast<uint16_t>(std::stoi(port))}, "",
              c.host);
        run(2500);
        const auto end = Clock::now() + std::chrono::seconds(40);
        while (c.lookup != nullptr && logged().find(c.lookup) == std::string::npos &&
               Clock::now() < end)
            run(100);
        stop();
        const std::string logText = log->text();
        ASSERT_EQ(LogCapture::count(logText, "[Error  ]"), c.lookup != nullptr ? 2u : 1u)
            << logText;
        const size_t at = logText.find("[Error  ]");
        const std::string line = logText.substr(at, logText.find('\n', at) - at);
        // The resolver's text varies with the name service; it is never empty.
        const std::string expected =
            std::regex_replace(std::regex_replace(c.expected, std::regex("PORT"), port),
                               std::regex(R"(\(CAUSE\))"), "(");
        const size_t from = line.find(expected.substr(0, expected.find('(') + 1));
        ASSERT_NE(from, std::string::npos) << line;
        if (c.expected.find("CAUSE") != std::string::npos) {
            EXPECT_NE(line.find(") for service " + port + ", will retry"), std::string::npos);
            EXPECT_EQ(line.find("()"), std::string::npos) << line;
        } else {
            EXPECT_EQ(line.substr(from), expected);
        }
        for (size_t e = at; e != std::string::npos; e = logText.find("[Error  ]", e + 1)) {
            const std::string error = logText.substr(e, logText.find('\n', e) - e);
            bool inGuide = false;
            for (const std::regex& r : rows) inGuide = inGuide || std::regex_search(error, r);
            EXPECT_TRUE(inGuide) << error;
        }
        if (c.lookup != nullptr) {
            EXPECT_NE(logText.find(c.lookup), std::string::npos) << logText;
        }
    }
}

// A collector that stops reading never holds the controller in a send: its
// backlog fills and its connection is dropped, and the stop ends without
// the interrupt that breaks sends.
TEST_F(SensorCtrlExport, CollectorThatStopsReadingDoesNotStallTheStop) {
    Tool slow(IPFIX_COLLECTOR, {"-p", "0", "-s", "3"});
    const uint16_t ps = slow.port();
    ASSERT_NE(ps, 0);
    start("{ name = \"Load\" period = 1 }", {ps});
    // 2 MB a second: the socket buffers fill within a few seconds.
    run(6000);
    const double took = stop();
    EXPECT_LT(took, 4.5);
    slow.stop();
    const std::string logText = log->text();
    EXPECT_NE(
        logText.find("Collector 127.0.0.1:" + std::to_string(ps) + " does not keep up: more than "),
        std::string::npos)
        << logText;
    EXPECT_EQ(logText.find("Going to kill thread: SensorCtrl"), std::string::npos) << logText;
    EXPECT_EQ(logText.find("it is left running"), std::string::npos) << logText;
}

// With a short socket time-out, a backlog that has not moved for that long
// drops the connection before the backlog reaches its bound (the kernel's
// own time-out on unacknowledged data may come first; either is a drop).
TEST_F(SensorCtrlExport, StillBacklogIsDroppedAfterTheSocketTimeOut) {
    Tool slow(IPFIX_COLLECTOR, {"-p", "0", "-s", "3"});
    const uint16_t ps = slow.port();
    ASSERT_NE(ps, 0);
    start("{ name = \"Load\" period = 1 }", {ps}, "sensortcptimeout = 1\n");
    const std::string named = "127.0.0.1:" + std::to_string(ps);
    const auto end = Clock::now() + std::chrono::seconds(20);
    // It is logged up first, once its connection took data.
    auto dropped = [&] {
        const std::string text = logged();
        const size_t error = text.find("[Error  ]");
        return error != std::string::npos && text.find(named, error) != std::string::npos;
    };
    while (!dropped() && Clock::now() < end) run(100);
    stop();
    slow.stop();
    const std::string logText = log->text();
    const size_t error = logText.find("[Error  ]");
    ASSERT_NE(error, std::string::npos) << logText;
    const std::string line = logText.substr(error, logText.find('\n', error) - error);
    EXPECT_NE(line.find(named), std::string::npos) << logText;
    EXPECT_EQ(line.find("does not keep up"), std::string::npos) << logText;
}

// A stop while a sensor hangs and a collector holds a backlog: the join
// times out, the interrupt ends the sends while the controller thread may
// be flushing, and the backlog adds nothing to the hung sensor's stop time
// (the join, then the grace for its reply: 3.5 s).
TEST_F(SensorCtrlExport, StopWithABacklogAndAHungSensorEndsInTime) {
    Tool slow(IPFIX_COLLECTOR, {"-p", "0", "-s", "3"});
    const uint16_t ps = slow.port();
    ASSERT_NE(ps, 0);
    start("{ name = \"Load\" period = 1 }, { name = \"Memory\" period = 1 }", {ps});
    run(2500);
    const double took = stop();
    EXPECT_LT(took, 4.5);
    FakeSensor* s = hanging;
    ASSERT_NE(s, nullptr);
    s->sampleGate.open();
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (s->shutdowns == 0 && Clock::now() < end) run(20);
    // Its thread has ended: joined here, as the stop could not.
    if (s->shutdowns != 0) SensorStub::waitUntilSensorsTerminate();
    slow.stop();
    const std::string logText = log->text();
    EXPECT_NE(logText.find("Going to kill thread: SensorCtrl"), std::string::npos) << logText;
}

}  // namespace
