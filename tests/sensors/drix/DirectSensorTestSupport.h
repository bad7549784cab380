// Shared pieces of the tests of the statistics sensors built straight on
// AbstractSensor: a query seam fed reply by reply, and a readable text form of
// the rows a sample hands back, decoded by the sensor's own exported metric
// table, so expected rows can be written (and checked) by hand; and a
// sensor made to answer from such a seam. Test threads only.
#pragma once

#include <arpa/inet.h>
#include <endian.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "AbstractSensor.h"
#include "NodeSensorTestSupport.h"

namespace DirectTest {

// Answers each request with the next reply text added; NO_REPLY stands for
// a channel that gave nothing, and so does an empty queue. Keeps the
// requests it was sent.
class ReplyQueue : public TallyqQuery {
  public:
    static constexpr const char* NO_REPLY = NodeTest::ReplyQuery::NO_REPLY;

    void add(const std::string& text) { texts.push_back(text); }
    TallyqResponse* executeQuery(const std::string& request) override {
        requests.push_back(request);
        if (texts.empty()) return nullptr;
        const std::string text = texts.front();
        texts.pop_front();
        return text == NO_REPLY ? nullptr : NodeTest::parseReply(text);
    }

    std::vector<std::string> requests;

  private:
    std::deque<std::string> texts;
};

// A sensor answering from `query`, its log lines kept.
struct Made {
    std::unique_ptr<AbstractSensor> sensor;
    std::vector<std::string>* logged;
    ReplyQueue query;
    const dataSet_t* sample() { return sensor->getMetricData(); }
    std::vector<std::string> rows();
};
template <class S>
std::unique_ptr<Made> make() {
    auto m = std::make_unique<Made>();
    auto* probe = new NodeTest::Probe<S>();
    probe->setQuery(&m->query);
    m->logged = &probe->logged();
    m->sensor.reset(probe);
    EXPECT_EQ(m->sensor->init(), 0);
    return m;
}

// One line per row: "g<group> r<row> name=value ...". Strings up to their
// first NUL, the metric key as nodeID/clusterID/sensorID/metricID, numbers
// as unsigned decimals.
inline std::vector<std::string> dumpRows(const AbstractSensor& sensor, const dataSet_t* sets) {
    std::vector<std::string> out;
    const dataSet_t* meta = sensor.getMetaData();
    for (uint32_t g = 0; g < sensor.getNumVirtualSensors(); ++g) {
        const auto* m = reinterpret_cast<const MetricsMetadata*>(meta[g].data);
        for (uint32_t r = 0; r < sets[g].numSets; ++r) {
            const char* row = sets[g].data + static_cast<std::size_t>(r) * sets[g].setLength;
            std::string line = "g" + std::to_string(g) + " r" + std::to_string(r);
            for (uint32_t c = 0; c < meta[g].numSets; ++c) {
                const uint16_t len = ntohs(m[c].metricLen);
                const uint16_t type = ntohs(m[c].metricType);
                line += std::string(" ") + m[c].metricName + "=";
                if (type == DT_STRING) {
                    line += std::string(row, strnlen(row, len));
                } else if (type == DT_METRIC_KEY_96) {
                    MetricKey k;
                    std::memcpy(&k, row, sizeof k);
                    line += std::to_string(k.nodeID) + "/" + std::to_string(k.metricClusterID) +
                            "/" + std::to_string(k.sensorID) + "/" + std::to_string(k.metricID);
                } else if (len == 8) {
                    uint64_t v;
                    std::memcpy(&v, row, 8);
                    line += std::to_string(be64toh(v));
                } else if (len == 4) {
                    uint32_t v;
                    std::memcpy(&v, row, 4);
                    line += std::to_string(be32toh(v));
                } else {
                    line += "?";
                }
                row += len;
            }
            out.push_back(line);
        }
    }
    return out;
}

// The value of column `name` in a dumped row, or "" when it has none.
inline std::string field(const std::string& line, const std::string& name) {
    const std::string key = " " + name + "=";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return "";
    const std::size_t from = at + key.size();
    return line.substr(from, line.find(' ', from) - from);
}

inline std::vector<std::string> Made::rows() { return dumpRows(*sensor, sample()); }

}  // namespace DirectTest
