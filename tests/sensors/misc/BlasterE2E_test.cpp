// The daemon in blaster mode against the test collector: every sample reaches
// the collector as one data set of the blaster's template, stamped by the
// logical clock.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "stubs/StubHarness.h"

namespace {

const std::string daemonPath = CVXSENSORS;
const std::string collectorPath = IPFIX_COLLECTOR;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of "name=" in a collector line, "" when absent.
std::string field(const std::string& line, const std::string& name) {
    const std::string key = " " + name + "=";
    const size_t at = line.find(key);
    if (at == std::string::npos) return "";
    const size_t start = at + key.size();
    return line.substr(start, line.find(' ', start) - start);
}

// Reads the child's output until it contains what, or the time-out passes.
std::string readUntilContains(ChildProcess& child, const std::string& what, int timeoutMs) {
    std::string out;
    FdIo::Deadline deadline(timeoutMs);
    char buf[4096];
    while (out.find(what) == std::string::npos) {
        size_t got = 0;
        if (child.read(buf, sizeof buf, got, deadline.remainingMs()) != FdIo::IoResult::Ok) break;
        out.append(buf, got);
    }
    return out;
}

struct DataSets {
    std::string templateId;        // id of the data template (reclen matched)
    std::vector<long> times;       // export time of each of its data sets, in order
    std::map<long, long> records;  // export time -> records of the data template
    long totalRecords = 0;
    bool errors = false;
};

DataSets collect(const std::string& output, const std::string& reclen) {
    DataSets d;
    long messageTime = 0;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        // A report field's length is given by its template alone: its
        // metadata row says 0, which the strict collector reports.
        if (line.compare(0, 6, "ERROR ") == 0 &&
            line.find("its metadata says 0") == std::string::npos) {
            d.errors = true;
        }
        if (line.compare(0, 8, "message ") == 0) messageTime = std::stol(field(line, "time"));
        if (line.compare(0, 9, "template ") == 0 && field(line, "reclen") == reclen) {
            d.templateId = field(line, "id");
        }
        if (line.compare(0, 4, "set ") == 0 && !d.templateId.empty() &&
            field(line, "id") == d.templateId) {
            const long n = std::stol(field(line, "records"));
            d.times.push_back(messageTime);
            d.records[messageTime] += n;
            d.totalRecords += n;
        }
    }
    return d;
}

class BlasterE2ETest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Null;
        o.error = ChildProcess::ErrorOutput::Inherit;
        ASSERT_TRUE(
            collector.start(collectorPath, {collectorPath, "-p", "0", "-t", "120"}, o).ok());
        const std::string first = StubHarness::readUntil(collector, "\n", 10000);
        ASSERT_EQ(first.compare(0, 5, "port "), 0) << first;
        port = first.substr(5, first.size() - 6);
    }

    void TearDown() override {
        collector.signal(SIGKILL);
        collector.wait(5000);
    }

    // Runs the daemon until it reports the sample limit, stops it, and
    // returns the collector's whole output.
    std::string runBlaster(const std::string& type, int samples) {
        const std::string cfgPath = dir.path() + "/blaster.cfg";
        std::ofstream(cfgPath) << "daemonize = F\n"
                               << "logfile = \"" << dir.path() << "/daemon.log\"\n"
                               << "loglevel = \"info\"\n"
                               << "piddir = \"" << dir.path() << "\"\n"
                               << "collectors = {\n  host = \"127.0.0.1\"\n  port = \"" << port
                               << "\"\n}\n"
                               << "blaster = {\n  blastertype = \"" << type
                               << "\"\n  blasterperiod = 1\n}\n";
        StubHarness::ScopedEnv env;
        const std::string limit = std::to_string(samples);
        env.set("VELMAR_BLASTER_MAXCOUNTER", limit.c_str());
        ChildProcess daemon;
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Null;
        o.output = ChildProcess::Output::Pipe;
        if (!daemon.start(daemonPath, {daemonPath, "-C", cfgPath}, o).ok()) {
            ADD_FAILURE() << "cannot start " << daemonPath;
            return "";
        }
        const std::string done = "blaster generated " + limit + " data sets";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (readFile(dir.path() + "/daemon.log").find(done) == std::string::npos &&
               std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_NE(readFile(dir.path() + "/daemon.log").find(done), std::string::npos);
        daemon.signal(SIGTERM);
        const std::string daemonOut = StubHarness::readUntil(daemon, "\x01", 30000);
        EXPECT_EQ(StubHarness::exitCodeOf(daemon.wait(30000)), 0) << daemonOut;

        // The daemon has closed its connection; the collector has read
        // everything once it reports the close.
        std::string out = readUntilContains(collector, "connection 1 closed", 30000);
        collector.signal(SIGTERM);
        out += StubHarness::readUntil(collector, "\x01", 10000);
        return out;
    }

    StubHarness::TempDir dir;
    ChildProcess collector;
    std::string port;
};

TEST_F(BlasterE2ETest, MetricBlasterSendsTwentyRecordsPerSampleOneSecondApart) {
    const int n = 40;
    const std::string out = runBlaster("metric", n);
    const DataSets d = collect(out, "160");
    EXPECT_FALSE(d.errors) << out;
    ASSERT_FALSE(d.templateId.empty()) << out;
    EXPECT_EQ(d.totalRecords, 20L * n);
    ASSERT_EQ(d.times.size(), static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(d.times[k], 946681201L + k) << k;
        EXPECT_EQ(d.records.at(d.times[k]), 20L) << k;
    }
}

TEST_F(BlasterE2ETest, TopProcBlasterSendsOneReportPerSampleTenSecondsApart) {
    const int n = 7;
    const std::string out = runBlaster("top-proc", n);
    const DataSets d = collect(out, "392");
    EXPECT_FALSE(d.errors) << out;
    ASSERT_FALSE(d.templateId.empty()) << out;
    EXPECT_EQ(d.totalRecords, n);
    ASSERT_EQ(d.times.size(), static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) EXPECT_EQ(d.times[k], 946681210L + 10L * k) << k;
}

}  // namespace
