// Helpers of the end-to-end tests that run a built daemon against the test
// collector: whole-file reads, line splitting, the collector and the records
// it decoded, and (with CVXSENSORS set to the daemon's path) the daemon at
// period 1. Header-only; each test program includes it once and compiles
// with IPFIX_COLLECTOR set to the collector's path. The test's own thread
// only.
#pragma once

#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "stubs/StubHarness.h"

namespace e2e {

// The whole file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of text without their line ends.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// How many times what stands in text.
inline std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Polls done every pollMs until it holds (true) or seconds have passed.
inline bool waitFor(const std::function<bool()>& done, int seconds, int pollMs = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

typedef std::map<std::string, std::string> Record;

// The key=value words of a collector line, quotes around strings removed.
inline Record words(const std::string& line) {
    Record r;
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        const std::size_t eq = w.find('=');
        if (eq == std::string::npos) continue;
        std::string v = w.substr(eq + 1);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        r[w.substr(0, eq)] = v;
    }
    return r;
}

// The data records of the collector's output by sensor; clean once its
// summary reports no error.
struct Records {
    std::map<std::string, std::vector<Record>> bySensor;
    bool clean = false;
};

inline Records recordsBySensor(const std::string& output) {
    Records got;
    for (const std::string& line : lines(output)) {
        if (line.rfind("record ", 0) == 0) {
            Record r = words(line);
            if (r.count("sensor") != 0) got.bySensor[r["sensor"]].push_back(r);
        } else if (line.rfind("summary ", 0) == 0) {
            got.clean = line.find(" errors=0") != std::string::npos;
        }
    }
    return got;
}

// The test collector on a free port, writing what it decodes to a file. The
// collector flushes as it writes, so soFar() can read the file while it runs
// (a test waits there for what it checks); finish() reads it all at the end.
// port stays empty when the collector did not start.
class Collector {
  public:
    explicit Collector(const std::string& out, std::vector<std::string> extra = {}) : outFile(out) {
        std::vector<std::string> argv = {IPFIX_COLLECTOR, "-p", "0", "-v", "-t", "120", "-o", out};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ChildProcess::Options o;
        o.output = ChildProcess::Output::Pipe;
        o.error = ChildProcess::ErrorOutput::Inherit;
        if (!child.start(IPFIX_COLLECTOR, argv, o).ok()) return;
        const std::string first = StubHarness::readUntil(child, "\n", 10000);
        if (first.compare(0, 5, "port ") == 0) port = first.substr(5, first.size() - 6);
    }
    ~Collector() { finish(); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Stops the collector and returns everything it printed.
    std::string finish() {
        if (child.pid() > 0) {
            child.signal(SIGTERM);
            if (!child.wait(10000).reaped) {
                child.signal(SIGKILL);
                child.wait();
            }
            child.release();
        }
        return readFile(outFile);
    }

    // The whole lines written so far: a line still being written is left out.
    std::string soFar() const {
        const std::string text = readFile(outFile);
        return text.substr(0, text.rfind('\n') + 1);
    }

    std::string port;

  private:
    ChildProcess child;
    std::string outFile;
};

#ifdef CVXSENSORS
// Writes dir/daemon.cfg (logging to dir/daemon.log, in the foreground, the
// first poll at once, host "e2enode", the lines of settings, the collector
// at port and every sensor at period 1) and starts the built daemon on it.
// extraSensors: further entries of the sensors list, as configuration text.
inline bool startDaemon(ChildProcess& daemon, const std::string& dir, const std::string& port,
                        const std::string& settings, const std::vector<std::string>& sensors,
                        const std::string& extraSensors = "") {
    std::ofstream cfg(dir + "/daemon.cfg");
    cfg << "logfile = \"" << dir << "/daemon.log\"\ndaemonize = F\npiddir = \"" << dir
        << "\"\ndelay_initial_poll = F\nhostname = \"e2enode\"\n"
        << settings << "collectors = {\nhost = \"127.0.0.1\"\nport = \"" << port
        << "\"\n}\nsensors = ";
    for (const std::string& n : sensors)
        cfg << (n == sensors[0] ? "" : ", ") << "{\nname = \"" << n << "\"\nperiod = 1\n}";
    cfg << extraSensors << "\n";
    cfg.close();
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Null;
    o.output = ChildProcess::Output::Inherit;
    o.error = ChildProcess::ErrorOutput::Inherit;
    return daemon.start(CVXSENSORS, {CVXSENSORS, "-C", dir + "/daemon.cfg"}, o).ok();
}

// Ends a daemon that a failed assertion left running.
struct Stopper {
    ChildProcess& child;
    ~Stopper() {
        if (child.pid() > 0 && child.signal(SIGKILL)) child.wait(5000);
    }
};
#endif

}  // namespace e2e
