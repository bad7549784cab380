// End to end: hand-built streams sent over loopback to the two collector
// programs, asserting on the numbers they print.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "IpfixTestMessages.h"

namespace {

using ipfixtest::Bytes;

constexpr uint32_t kTime = 1700000000;

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A tool started with its standard output on a pipe.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
    }

    ~Tool() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }

    // The bound port from the first line, "port P"; 0 on failure.
    uint16_t port() {
        std::string line;
        while (line.find('\n') == std::string::npos && readSome(10.0, line)) {
        }
        unsigned p = 0;
        if (sscanf(line.c_str(), "port %u", &p) != 1) return 0;
        rest = line.substr(line.find('\n') + 1);
        return static_cast<uint16_t>(p);
    }

    // Waits for the tool to exit; returns its output after the port line.
    std::string finish(double seconds, int& status) {
        std::string all = rest;
        const double end = now() + seconds;
        while (readSome(end - now(), all)) {
        }
        status = -1;
        int ws = 0;
        if (waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) status = WEXITSTATUS(ws);
        pid = -1;
        return all;
    }

    void signal(int sig) { kill(pid, sig); }

private:
    bool readSome(double seconds, std::string& into) {
        if (seconds <= 0) return false;
        pollfd p = {out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
        char buf[4096];
        ssize_t n = read(out, buf, sizeof buf);
        if (n <= 0) return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid = -1;
    int out = -1;
    std::string rest;
};

int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Waits until the peer closes the connection.
bool waitForClose(int fd, double seconds) {
    pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, static_cast<int>(seconds * 1000)) == 1 && recv(fd, &c, 1, 0) == 0;
}

std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(prefix, 0) == 0) v.push_back(l);
    }
    return v;
}

bool contains(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

// The valid stream of one virtual sensor over two samples: the template
// packet, then a data packet of one record, then one of two records.
Bytes validStream() {
    Bytes s = ipfixtest::templatePacket(1001, 1002, ipfixtest::sampleMetrics(), kTime, 0);
    Bytes rows = ipfixtest::sampleRecord(0);
    Bytes d1 = ipfixtest::dataPacket(1002, rows, kTime, 0);
    Bytes more = ipfixtest::sampleRecord(1);
    rows.insert(rows.end(), more.begin(), more.end());
    Bytes d2 = ipfixtest::dataPacket(1002, rows, kTime + 1, 1);
    s.insert(s.end(), d1.begin(), d1.end());
    s.insert(s.end(), d2.begin(), d2.end());
    return s;
}

TEST(IpfixCollector, DecodesAValidStream) {
    Tool tool({IPFIX_COLLECTOR, "-p", "0", "-v", "-n", "3", "-t", "20"});
    const uint16_t port = tool.port();
    ASSERT_NE(port, 0);
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, validStream()));
    int status = 0;
    const std::string out = tool.finish(20, status);
    close(fd);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(linesStarting(out, "ERROR").empty()) << out;
    EXPECT_EQ(linesStarting(out, "message conn=1 "),
              (std::vector<std::string>{
                  "message conn=1 seq=0 time=1700000000 domain=1 length=916",
                  "message conn=1 seq=0 time=1700000000 domain=1 length=188",
                  "message conn=1 seq=1 time=1700000001 domain=1 length=356",
              }));
    EXPECT_EQ(linesStarting(out, "set conn=1 "),
              (std::vector<std::string>{
                  "set conn=1 seq=0 id=2 length=48 records=1",
                  "set conn=1 seq=0 id=1001 length=724 records=15",
                  "set conn=1 seq=0 id=2 length=128 records=1",
                  "set conn=1 seq=0 id=1002 length=172 records=1",
                  "set conn=1 seq=1 id=1002 length=340 records=2",
              }));
    EXPECT_EQ(linesStarting(out, "record conn=1 seq=0 set=1001 ").size(), 15u);
    const std::vector<std::string> data = linesStarting(out, "record conn=1 seq=1 set=1002 ");
    ASSERT_EQ(data.size(), 2u);
    EXPECT_NE(data[1].find(" test_u32=4000000001 "), std::string::npos) << data[1];
    EXPECT_TRUE(contains(out, "connection 1 open"));
    EXPECT_TRUE(
        contains(out, "connection 1 closed (message limit) messages=3 records=18 errors=0 "
                      "bytes=1460"));
    EXPECT_TRUE(contains(out, "summary connections=1 messages=3 records=18 errors=0")) << out;
}

// -q prints none of the per-message lines but still decodes everything, here
// three messages in one read: its exit status and summary count the errors.
TEST(IpfixCollector, QuietStillChecksEveryMessage) {
    const Bytes valid = validStream();
    // The last data packet without the template packet: its set comes before
    // any template, an error.
    const Bytes orphan(valid.begin() + 916 + 188, valid.end());
    struct Row {
        const char* name;
        Bytes stream;
        int status;
        const char* summary;
    } rows[] = {
        {"valid", valid, 0, "summary connections=1 messages=3 records=18 errors=0"},
        {"set before its template", orphan, 1,
         "summary connections=1 messages=1 records=0 errors=1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Tool tool({IPFIX_COLLECTOR, "-q", "-v", "-t", "20"});
        const uint16_t port = tool.port();
        ASSERT_NE(port, 0);
        int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, row.stream));
        // The collector hangs up once it has read the whole stream.
        shutdown(fd, SHUT_WR);
        EXPECT_TRUE(waitForClose(fd, 10));
        close(fd);
        tool.signal(SIGTERM);
        int status = -1;
        const std::string out = tool.finish(20, status);
        EXPECT_EQ(status, row.status) << out;
        for (const char* prefix : {"message ", "set ", "template ", "record ", "ERROR "})
            EXPECT_TRUE(linesStarting(out, prefix).empty()) << out;
        EXPECT_TRUE(contains(out, row.summary)) << out;
        // What a load test divides by its run time.
        EXPECT_TRUE(contains(out, " bytes=" + std::to_string(row.stream.size()))) << out;
    }
}

TEST(IpfixCollector, TemplatesBelongToTheirConnection) {
    Tool tool({IPFIX_COLLECTOR, "-c", "2", "-n", "3", "-t", "20"});
    const uint16_t port = tool.port();
    ASSERT_NE(port, 0);
    const Bytes stream = validStream();
    const Bytes firstTwo(stream.begin(), stream.begin() + 916 + 188);
    const Bytes last(stream.begin() + 916 + 188, stream.end());

    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, firstTwo));
    EXPECT_TRUE(waitForClose(fd, 10));  // -c 2: the collector hangs up
    close(fd);
    // A new connection must send the templates again before data.
    fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, last));
    int status = 0;
    const std::string out = tool.finish(20, status);
    close(fd);
    EXPECT_EQ(status, 1) << out;
    EXPECT_TRUE(contains(out,
                         "connection 1 closed (after -c messages) messages=2 records=16 "
                         "errors=0 bytes=1104"))
        << out;
    EXPECT_EQ(linesStarting(out, "ERROR"),
              std::vector<std::string>{"ERROR conn=2 seq=1: data set 1002 before its template"});
    EXPECT_TRUE(contains(out, "summary connections=2 messages=3 records=16 errors=1")) << out;
}

TEST(IpfixCollector, SlowCollectorStopsReading) {
    Tool tool({IPFIX_COLLECTOR, "-s", "1", "-t", "2"});
    const uint16_t port = tool.port();
    ASSERT_NE(port, 0);
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    const Bytes stream = validStream();
    ASSERT_TRUE(sendAll(fd, stream));
    // Nothing is read any more: the socket buffers fill up and stay full.
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const Bytes big = ipfixtest::dataPacket(1002, Bytes(168 * 390, 0), kTime, 2);
    size_t sent = 0;
    const double end = now() + 10;
    while (now() < end) {
        ssize_t n = send(fd, big.data(), big.size(), MSG_NOSIGNAL);
        if (n < 0) break;
        sent += static_cast<size_t>(n);
    }
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(sent, 0u);
    int status = 0;
    const std::string out = tool.finish(20, status);
    close(fd);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(contains(out, "stopped reading after 1 messages")) << out;
    EXPECT_TRUE(contains(out, "summary connections=1 messages=1 records=15 errors=0")) << out;
}

TEST(IpfixCollector, StopsOnSignalWithSummary) {
    Tool tool({IPFIX_COLLECTOR});
    ASSERT_NE(tool.port(), 0);
    tool.signal(SIGTERM);
    int status = -1;
    const std::string out = tool.finish(10, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "summary connections=0 messages=0 records=0 errors=0\n");
}

#ifdef FIXBUF_CHECK
TEST(FixbufCheck, DecodesAValidStream) {
    Tool tool({FIXBUF_CHECK, "-p", "0", "-n", "18", "-t", "20", "-F", "202", "-F", "2"});
    const uint16_t port = tool.port();
    ASSERT_NE(port, 0);
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, validStream()));
    int status = 0;
    const std::string out = tool.finish(20, status);
    close(fd);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(linesStarting(out, "ERROR").empty()) << out;
    EXPECT_EQ(linesStarting(out, "template "),
              (std::vector<std::string>{
                  "template conn=1 tid=1001 fields=5 reclen=48 "
                  "specs=102:40:2,2:2:2,103:2:2,104:2:2,105:2:2",
                  "template conn=1 tid=1002 fields=15 reclen=168 "
                  "specs=100:64:2,101:36:2,106:12:2,200:8:2,201:8:2,202:4:2,203:4:2,204:4:2,"
                  "205:4:2,206:4:2,207:4:2,208:4:2,209:4:2,210:4:2,211:4:2",
              }));
    // Metric numbers from the metadata records, then test_u32 of each record.
    std::vector<std::string> expected;
    for (const ipfixtest::MetricDef& m : ipfixtest::sampleMetrics()) {
        expected.push_back("field conn=1 tid=1001 id=2 value=" + std::to_string(m.id));
    }
    EXPECT_EQ(linesStarting(out, "field conn=1 tid=1001 "), expected);
    EXPECT_EQ(linesStarting(out, "field conn=1 tid=1002 "),
              (std::vector<std::string>{
                  "field conn=1 tid=1002 id=202 value=4000000000",
                  "field conn=1 tid=1002 id=202 value=4000000000",
                  "field conn=1 tid=1002 id=202 value=4000000001",
              }));
    EXPECT_EQ(linesStarting(out, "records "),
              (std::vector<std::string>{"records tid=1001 count=15", "records tid=1002 count=3"}));
    EXPECT_TRUE(contains(out, "summary connections=1 messages=3 templates=2 records=18 errors=0"))
        << out;
}

TEST(FixbufCheck, ReadsConnectionsOneAfterAnother) {
    Tool tool({FIXBUF_CHECK, "-n", "34", "-t", "20"});
    const uint16_t port = tool.port();
    ASSERT_NE(port, 0);
    const Bytes stream = validStream();
    const Bytes firstTwo(stream.begin(), stream.begin() + 916 + 188);
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, firstTwo));
    close(fd);
    fd = connectTo(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, stream));
    int status = 0;
    const std::string out = tool.finish(20, status);
    close(fd);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(contains(out, "connection 1 closed messages=2 records=16")) << out;
    EXPECT_EQ(linesStarting(out, "template conn=2 ").size(), 2u) << out;
    EXPECT_EQ(linesStarting(out, "records "),
              (std::vector<std::string>{"records tid=1001 count=30", "records tid=1002 count=4"}));
    EXPECT_TRUE(contains(out, "summary connections=2 messages=5 templates=4 records=34 errors=0"))
        << out;
}
#endif

}  // namespace
