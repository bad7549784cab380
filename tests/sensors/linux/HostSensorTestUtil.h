// Fixtures shared by the host-sensor tests: a temporary platform root holding
// /proc files that tests rewrite in place between samples, a configured node
// name, a logger that keeps what a sensor logs, and a decoder that prints the
// rows of a data set by the sensor's own metadata rows.
#pragma once

#include <arpa/inet.h>
#include <endian.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "Configuration.h"
#include "Logger.h"
#include "ParamNames.h"
#include "PlatformPaths.h"
#include "SensorCtrl.h"

namespace hosttest {

constexpr const char* NODE = "testnode";

inline std::string fixturePath(const std::string& relative) {
    return std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/proc/" + relative;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A per-test platform root with the node name "testnode" configured. Files
// are rewritten in place (same inode), as the kernel's tables change under
// the sensor's open file.
class ProcRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "hostsensor.XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        root = tmpl;
        ASSERT_EQ(std::system(("mkdir -p '" + root + "/proc/net'").c_str()), 0);
        Platform::setRoot(root);
        values.putStr(Cfg::HOSTNAME, NODE);
        config = new Cfg::Configuration(schema, values);
        SensorCtrl::config = config;
    }
    void TearDown() override {
        SensorCtrl::config = nullptr;
        delete config;
        Platform::setRoot("");
        if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
    }

    // Writes (or rewrites in place) the file at a production path.
    void put(const std::string& productionPath, const std::string& text) {
        std::ofstream out(root + productionPath, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << productionPath;
    }
    void putFixture(const std::string& productionPath, const std::string& fixture) {
        put(productionPath, readFile(fixturePath(fixture)));
    }

    std::string root;
    Cfg::ParamDefStore schema;
    Cfg::ParamValStore values;
    Cfg::Configuration* config = nullptr;
};

#define LOG_INTO(sev)  \
    va_list ap;        \
    va_start(ap, fmt); \
    add(sev, fmt, ap); \
    va_end(ap)
// Keeps every line as "<Severity>: <text>".
class CaptureLogger : public Logger {
  public:
    mutable std::vector<std::string> lines;

    void logDebug(const char* fmt, ...) const override { LOG_INTO("Debug"); }
    void logInfo(const char* fmt, ...) const override { LOG_INTO("Info"); }
    void logWarning(const char* fmt, ...) const override { LOG_INTO("Warning"); }
    void logError(const char* fmt, ...) const override { LOG_INTO("Error"); }
    void logFatalAndStop(const char* fmt, ...) const override { LOG_INTO("Fatal"); }

    size_t count(const std::string& line) const {
        size_t n = 0;
        for (const auto& l : lines) n += l == line;
        return n;
    }

  private:
    void add(const char* severity, const char* fmt, va_list ap) const {
        char buf[2048];
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        lines.push_back(std::string(severity) + ": " + buf);
    }
};
#undef LOG_INTO

// A sensor whose log lines the test can read.
template <class Sensor>
class Logged : public Sensor {
  public:
    Logged() {
        delete this->log;
        this->log = captured = new CaptureLogger;
    }
    CaptureLogger* captured;
};

// One line per row: "name=value" for every column in table order. Strings
// print up to their NUL ("!unpadded" when the rest of the field is not NUL),
// numbers in decimal from big-endian, the metric key as
// "{nodeID,metricClusterID,sensorID,metricID}" with the hashes in hex.
inline std::vector<std::string> decodeRows(const AbstractSensor& sensor, const dataSet_t* set) {
    std::vector<std::string> rows;
    if (set == nullptr) return rows;
    const dataSet_t& meta = sensor.getMetaData()[0];
    const auto* columns = reinterpret_cast<const MetricsMetadata*>(meta.data);
    for (uint32_t r = 0; r < set->numSets; ++r) {
        const char* p = set->data + static_cast<size_t>(r) * set->setLength;
        std::ostringstream line;
        uint32_t at = 0;
        for (uint32_t c = 0; c < meta.numSets; ++c) {
            const uint16_t type = ntohs(columns[c].metricType);
            const uint16_t len = ntohs(columns[c].metricLen);
            const char* f = p + at;
            line << (c ? " " : "") << columns[c].metricName << "=";
            if (type == DT_STRING) {
                const size_t n = strnlen(f, len);
                line << std::string(f, n);
                for (size_t i = n; i < len; ++i) {
                    if (f[i] != 0) {
                        line << "!unpadded";
                        break;
                    }
                }
                if (n == len) line << "!unterminated";
            } else if (type == DT_METRIC_KEY_96) {
                MetricKey k;
                std::memcpy(&k, f, sizeof k);
                char buf[64];
                std::snprintf(buf, sizeof buf, "{%08x,%08x,%u,%u}", k.nodeID, k.metricClusterID,
                              k.sensorID, k.metricID);
                line << buf;
            } else if (len == 8) {
                uint64_t v;
                std::memcpy(&v, f, 8);
                line << be64toh(v);
            } else if (len == 4) {
                uint32_t v;
                std::memcpy(&v, f, 4);
                line << be32toh(v);
            } else {
                line << "?";
            }
            at += len;
        }
        EXPECT_EQ(at, set->setLength) << "row length differs from the table";
        rows.push_back(line.str());
    }
    return rows;
}

// The rows of a golden file: one per line, '#' lines are comments.
inline std::vector<std::string> goldenRows(const std::string& fixture) {
    std::vector<std::string> rows;
    std::istringstream in(readFile(fixturePath(fixture)));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') rows.push_back(line);
    }
    return rows;
}

// The value of one column in a decoded row.
inline std::string field(const std::string& row, const std::string& name) {
    const std::string key = name + "=";
    size_t at = 0;
    while ((at = row.find(key, at)) != std::string::npos) {
        if (at == 0 || row[at - 1] == ' ') {
            const size_t end = row.find(' ', at);
            return row.substr(at + key.size(),
                              end == std::string::npos ? end : end - at - key.size());
        }
        at += key.size();
    }
    return "<missing " + name + ">";
}

}  // namespace hosttest
