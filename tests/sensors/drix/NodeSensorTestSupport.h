// Shared pieces of the per-node statistics sensor tests: a query seam that
// answers from reply texts, a logger that keeps what it is given, and a probe
// that gives a sensor that logger. Test threads only.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "SensorDRIXNodeBase.h"
#include "TallyqQuery.h"
#include "TallyqResponse.h"

namespace NodeTest {

// Parses reply text as the channel would read it from the relay: lines are
// taken once the text ends with a line feed, and text that does not complete
// a reply is cut short.
inline TallyqResponse* parseReply(const std::string& text) {
    TallyqReplyReader reader;
    reader.feed(text.data(), text.size());
    if (!reader.complete()) reader.inputEnded();
    return reader.take();
}

// Answers each request with the next text; NO_REPLY stands for a channel
// that gave nothing. Keeps the requests it was sent.
class ReplyQuery : public TallyqQuery {
  public:
    static constexpr const char* NO_REPLY = "\x01";

    explicit ReplyQuery(std::vector<std::string> texts = {}) : texts(texts.begin(), texts.end()) {}

    TallyqResponse* executeQuery(const std::string& request) override {
        requests.push_back(request);
        if (texts.empty()) return nullptr;
        const std::string text = texts.front();
        texts.pop_front();
        return text == NO_REPLY ? nullptr : parseReply(text);
    }

    std::vector<std::string> requests;

  private:
    std::deque<std::string> texts;
};

// Keeps "Severity: message" lines; debug lines only when asked.
class CaptureLogger : public Logger {
  public:
    explicit CaptureLogger(bool withDebug = false) : withDebug(withDebug) {}
#define NODETEST_KEEP(method, severity, keep)               \
    void method(const char* fmt, ...) const override {      \
        if (!(keep)) return;                                \
        va_list a;                                          \
        va_start(a, fmt);                                   \
        char text[1024];                                    \
        std::vsnprintf(text, sizeof text, fmt, a);          \
        va_end(a);                                          \
        lines.push_back(std::string(severity ": ") + text); \
    }
    NODETEST_KEEP(logDebug, "Debug", withDebug)
    NODETEST_KEEP(logInfo, "Info", true)
    NODETEST_KEEP(logWarning, "Warning", true)
    NODETEST_KEEP(logError, "Error", true)
    NODETEST_KEEP(logFatalAndStop, "Fatal", true)
#undef NODETEST_KEEP

    mutable std::vector<std::string> lines;

  private:
    bool withDebug;
};

// A sensor whose messages go to a CaptureLogger (owned by the sensor, as its
// own logger was) and whose rows can be read back.
template <class Sensor>
class Probe : public Sensor {
  public:
    explicit Probe(bool withDebug = false) : capture(new CaptureLogger(withDebug)) {
        delete this->log;
        this->log = capture;
    }
    std::vector<std::string>& logged() { return capture->lines; }

  private:
    CaptureLogger* capture;
};

// The bytes of a sample's row, empty when the sample had none.
inline std::string rowOf(const dataSet_t* set) {
    if (set == nullptr || set->numSets == 0) return {};
    return std::string(set->data, set->setLength);
}

}  // namespace NodeTest
