// Helpers of the end-to-end tests that run a built daemon against the test
// collector: whole-file reads, line splitting, and the collector itself.
// Header-only; each test program includes it once and compiles with
// IPFIX_COLLECTOR set to the collector's path. The test's own thread only.
#pragma once

#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>
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

}  // namespace e2e
