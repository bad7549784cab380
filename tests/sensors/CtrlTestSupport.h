// Fakes shared by the controller's tests and benchmark: a sensor whose table,
// rows and behaviour the test sets, a gate to hold a sensor thread inside a
// call, and a collector end of a socket pair that splits what the controller
// sent into messages.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "LoggerBackend.h"
#include "Socket.h"

namespace ctrltest {

// A per-test directory, removed with its files.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/velmar-ctrl-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

// Every log line of the process goes to a file while it runs; text() stops
// the logging backend (which writes out what is queued) and returns them.
class LogCapture {
  public:
    explicit LogCapture(const TempDir& dir) : file(dir.file("log")) {
        LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, file.c_str(), true);
    }
    ~LogCapture() { LoggerBackend::destroy(); }
    std::string text() {
        LoggerBackend::destroy();
        std::ifstream in(file);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

  private:
    std::string file;
};

// Closed, it holds every thread that passes through it until it is opened.
class Gate {
  public:
    explicit Gate(bool isOpen = true) : open_(isOpen) {}
    void close() {
        std::lock_guard<std::mutex> l(m_);
        open_ = false;
    }
    void open() {
        std::lock_guard<std::mutex> l(m_);
        open_ = true;
        cv_.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> l(m_);
        ++waiting_;
        cv_.wait(l, [this] { return open_; });
        --waiting_;
    }
    int waiting() {
        std::lock_guard<std::mutex> l(m_);
        return waiting_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_;
    int waiting_ = 0;
};

// Metric table with the usual row header and then `extra` u32 metrics.
inline std::vector<MetricsMetadata> table(uint16_t firstId, uint32_t extra) {
    std::vector<MetricsMetadata> t = {ROW_HEADER_NODE, ROW_HEADER_SENSOR, ROW_HEADER_METRIC_KEY};
    for (uint32_t i = 0; i < extra; ++i) {
        MetricsMetadata m = {"", static_cast<uint16_t>(firstId + i), DT_UINT_32, 4,
                             SEMTYPE_QUANTITY};
        snprintf(m.metricName, sizeof m.metricName, "fake_%u", firstId + i);
        t.push_back(m);
    }
    return t;
}

inline MetricsMetadata metric(const char* name, uint16_t id, uint16_t type, uint16_t len) {
    MetricsMetadata m = {"", id, type, len, SEMTYPE_QUANTITY};
    snprintf(m.metricName, sizeof m.metricName, "%s", name);
    return m;
}

// A sensor whose rows are set by the test (`rows` and `sets`, one data set per
// virtual sensor) and whose operations can be held at gates or made to fail.
// The knobs are atomics or gates, so tests may turn them while the sensor's
// thread runs.
class FakeSensor : public AbstractSensor {
  public:
    FakeSensor(SensorID::SensorID id, const std::vector<MetricsMetadata>& metrics,
               const std::vector<uint32_t>& counts, uint64_t periodUs = 1000000)
        : AbstractSensor(id, metrics.data(), static_cast<uint32_t>(metrics.size()), counts.data(),
                         static_cast<uint32_t>(counts.size()), periodUs),
          sets(counts.size(), dataSet_t{0, 0, nullptr}) {
        ++live();
        for (uint32_t v = 0; v < counts.size(); ++v) {
            uint32_t len = 0;
            for (uint32_t i = 0; i < counts[v]; ++i)
                len += (*getMetricDataDef())[first(v) + i].fieldLen;
            sets[v].setLength = len;
        }
    }

    ~FakeSensor() override { --live(); }

    // Fake sensors currently alive, so tests can tell whether one was freed.
    static std::atomic<int>& live() {
        static std::atomic<int> count{0};
        return count;
    }

    // Virtual sensor v gets n rows of its row length, filled with `fill`.
    void setRows(uint32_t v, uint32_t n, char fill = 'x') {
        rows.resize(sets.size());
        rows[v].assign(static_cast<size_t>(n) * sets[v].setLength, fill);
        sets[v].numSets = n;
        sets[v].data = rows[v].data();
    }

    int32_t init() override {
        ++inits;
        initGate.pass();
        if (periodAfterInit.load() != 0) setPollPeriod(periodAfterInit.load());
        return initResult.load();
    }
    const dataSet_t* getMetricData() override {
        ++samples;
        sampleGate.pass();
        if (failSamples.load()) return nullptr;
        return sets.data();
    }
    int32_t getStatus() override {
        ++statusCalls;
        return statusResult.load();
    }
    int32_t shutdown() override {
        ++shutdowns;
        shutdownGate.pass();
        return 0;
    }

    // Poll period (µs) the sensor takes in init, when not 0: the controller
    // arms its timer only after init, so sub-second periods can be tested.
    std::atomic<uint64_t> periodAfterInit{0};
    std::atomic<int> initResult{0};
    std::atomic<int> statusResult{0};
    std::atomic<bool> failSamples{false};
    std::atomic<int> inits{0}, samples{0}, statusCalls{0}, shutdowns{0};
    Gate initGate, sampleGate, shutdownGate;
    std::vector<dataSet_t> sets;
    std::vector<std::string> rows;

  private:
    uint32_t first(uint32_t v) const {
        uint32_t f = 0;
        for (uint32_t i = 0; i < v; ++i) f += getNumFields(i);
        return f;
    }
};

// The collector end of a socket pair; the other end is wrapped in a Socket
// that the controller takes as connected.
class PairCollector {
  public:
    PairCollector() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            socket = new Socket(fds[0], nullptr, nullptr);
            socket->connected = true;
            fd = fds[1];
        }
    }
    ~PairCollector() {
        if (fd >= 0) ::close(fd);
    }
    // Closes the collector end, as a collector that went away.
    void hangUp() {
        ::close(fd);
        fd = -1;
    }

    // Reads until nothing more arrives for `idleMs` and splits what came into
    // whole messages.
    std::vector<std::string> messages(int idleMs = 20) {
        for (;;) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, idleMs) <= 0) break;
            char buf[65536];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
        }
        std::vector<std::string> out;
        while (pending.size() >= 4) {
            const size_t len = u16(pending, 2);
            if (len < 16 || pending.size() < len) break;
            out.push_back(pending.substr(0, len));
            pending.erase(0, len);
        }
        return out;
    }

    static uint16_t u16(const std::string& b, size_t at) {
        uint16_t v;
        std::memcpy(&v, b.data() + at, 2);
        return ntohs(v);
    }
    static uint32_t u32(const std::string& b, size_t at) {
        uint32_t v;
        std::memcpy(&v, b.data() + at, 4);
        return ntohl(v);
    }

    Socket* socket = nullptr;  // handed to the controller, which deletes it
    int fd = -1;
    std::string pending;
};

}  // namespace ctrltest
