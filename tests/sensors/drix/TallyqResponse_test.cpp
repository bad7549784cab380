#include "TallyqResponse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "TallyqTestSupport.h"

namespace {

using TallyqTest::mapText;
using TallyqTest::recordsText;
using Clock = std::chrono::steady_clock;

TEST(TallyqResponseTest, ParseLineTable) {
    typedef TallyqResponse T;
    const struct {
        std::string line;
        T::lineType type;
        std::string name;  // after the call; it starts as "old"
        std::string map;   // mapText of the filled map
    } rows[] = {
        {"", T::lineError, "old", ""},
        {" \t ", T::lineError, "old", ""},
        {"_event_ n k v", T::eventLine, "n", "k=v"},
        {"_event_", T::eventLine, "old", ""},
        {"_response_ begin tallyq vfss", T::responseBegin, "vfss", ""},
        {"_response_ begin tallyq", T::responseBegin, "old", ""},
        {"_response_ end", T::responseEnd, "old", ""},
        {"_response_ other", T::lineError, "old", ""},
        {"_response_", T::lineError, "old", ""},
        {"_tallyq::", T::recordHdr, "old", ""},
        {"_tallyq::vfss _a_ 1 _b_ 2", T::recordHdr, "old", "_a_=1 _b_=2"},
        {"_r_ _n_ 5", T::readRecord, "old", "_n_=5"},
        {"_w_ _n_ 6", T::writeRecord, "old", "_n_=6"},
        {"_rpcObj_ _x_ 1", T::rpcObject, "old", "_x_=1"},
        {"_stats_ _x_ 1", T::rpcStats, "old", "_x_=1"},
        {"_wti_ _x_ 1", T::waiterItem, "old", "_x_=1"},
        {"_bufr_ _x_ 1", T::bufrItem, "old", "_x_=1"},
        {"_mutex_ _x_ 1", T::mutexItem, "old", "_x_=1"},
        {"_condvar_ _x_ 1", T::condvarItem, "old", "_x_=1"},
        {"_error_ e1", T::lineError, "e1", ""},
        // One colon short of a record header: unknown, so fatal.
        {"_tallyq: _a_ 1", T::lineFatal, "_tallyq: _a_ 1", ""},
        // The header marker counts only at the start of the first token.
        {"x_tallyq:: _a_ 1", T::lineFatal, "x_tallyq:: _a_ 1", ""},
        {"tallyq", T::lineFatal, "tallyq", ""},
        // Markers match whole tokens only.
        {"_r_x 1", T::lineFatal, "_r_x 1", ""},
    };
    for (const auto& row : rows) {
        std::string line = row.line;
        std::string name = "old";
        KeyValuesMap_t map;
        EXPECT_EQ(TallyqResponse::parseLine(line, name, &map), row.type) << row.line;
        EXPECT_EQ(name, row.name) << row.line;
        EXPECT_EQ(mapText(&map), row.map) << row.line;
    }
}

// A pipe whose write end a thread feeds with a script of (pause, bytes)
// steps; after the script it stays silent (or closes) until the test ends.
class ScriptedPipe {
  public:
    struct Step {
        int pauseMs;
        std::string bytes;
    };
    ScriptedPipe(std::vector<Step> script, bool closeAtEnd) {
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        writer = std::thread([this, script, closeAtEnd] {
            for (const Step& s : script) {
                std::this_thread::sleep_for(std::chrono::milliseconds(s.pauseMs));
                if (write(fds[1], s.bytes.data(), s.bytes.size()) !=
                    static_cast<ssize_t>(s.bytes.size())) {
                    ADD_FAILURE() << "short write";
                }
            }
            if (closeAtEnd) closeWrite();
        });
    }
    ~ScriptedPipe() {
        writer.join();
        closeWrite();
        close(fds[0]);
    }
    int readFd() const { return fds[0]; }

  private:
    void closeWrite() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
    std::thread writer;
};

const std::string EMPTY_REPLY = "_response_ begin x y\n_response_ end\n";
const std::string FULL_REPLY =
    "_response_ begin tallyq vfss\n_tallyq::a _k_ 1\n_r_ _n_ 2\n_w_ _n_ 3\n"
    "_tallyq::b _k_ 4\n_response_ end\n";
const std::string FULL_RECORDS = "[_k_=1|_n_=2|_n_=3|-][_k_=4|-|-|-]";

TEST(TallyqResponseTest, ParseResponseTable) {
    typedef TallyqResponse T;
    const struct {
        const char* what;
        std::vector<ScriptedPipe::Step> script;
        bool closeAtEnd;
        T::respType type;
        std::string name;
        std::string records;
    } rows[] = {
        {"one empty record", {{0, EMPTY_REPLY}}, false, T::resp, "y", "[-|-|-|-]"},
        {"error line",
         {{0, "_response_ begin x y\n_error_ e1\n_response_ end\n"}},
         false,
         T::error,
         "e1",
         "[-|-|-|-]"},
        {"event alone", {{0, "_event_ n k v\n"}}, false, T::event, "n", "[k=v|-|-|-]"},
        {"records with parts", {{0, FULL_REPLY}}, false, T::resp, "vfss", FULL_RECORDS},
        {"parts before the header",
         {{0, "_response_ begin x y\n_r_ a 1\n_w_ b 2\n_tallyq::h c 3\n_response_ end\n"}},
         false,
         T::resp,
         "y",
         "[c=3|a=1|b=2|-]"},
        {"second _r_ replaces the first",
         {{0,
           "_response_ begin x y\n_tallyq::h\n_r_ a 1\n_r_ a 2\n_tallyq::h2 d 4\n"
           "_stats_ s 5\n_response_ end\n"}},
         false,
         T::resp,
         "y",
         "[|a=2|-|-][d=4|-|-|s=5]"},
        {"split at line ends over reads",
         {{0, "_response_ begin x y\n"}, {50, "_tallyq::h c 3\n"}, {50, "_response_ end\n"}},
         false,
         T::resp,
         "y",
         "[c=3|-|-|-]"},
        {"split mid-line over reads",
         {{0, "_response_ begin x y\n_tall"}, {50, "yq::h c 3\n_resp"}, {50, "onse_ end\n"}},
         false,
         T::resp,
         "y",
         "[c=3|-|-|-]"},
        {"silence", {}, false, T::eof, "", ""},
        // Lines of a batch that never ended with a line feed are not parsed.
        {"unfinished batch", {{0, "_response_ begin x y\n_tallyq::h c"}}, false, T::eof, "", ""},
        {"cut after the opening line",
         {{0, "_response_ begin x y\n_tallyq::h c 3\n"}},
         false,
         T::unknown,
         "y",
         ""},
        {"end of input after the opening line",
         {{0, "_response_ begin x y\n"}},
         true,
         T::unknown,
         "y",
         ""},
        {"tail without its opening line",
         {{0, "_tallyq::h c 3\n_response_ end\n"}},
         false,
         T::eof,
         "",
         "[c=3|-|-|-]"},
        {"blank line",
         {{0, "_response_ begin x y\n\n_tallyq::h c 3\n_response_ end\n"}},
         false,
         T::error,
         "y",
         "[c=3|-|-|-]"},
        {"unknown first token",
         {{0, "_response_ begin x y\nbad line\n_response_ end\n"}},
         false,
         T::fatal,
         "bad line",
         ""},
        {"opener kinds",
         {{0,
           "_response_ begin x y\n_rpcObj_ a 1\n_wti_ b 2\n_bufr_ c 3\n_mutex_ d 4\n"
           "_condvar_ e 5\n_response_ end\n"}},
         false,
         T::resp,
         "y",
         "[a=1|-|-|-][b=2|-|-|-][c=3|-|-|-][d=4|-|-|-][e=5|-|-|-]"},
    };
    for (const auto& row : rows) {
        ScriptedPipe p(row.script, row.closeAtEnd);
        const Clock::time_point start = Clock::now();
        std::unique_ptr<TallyqResponse> reply(TallyqResponse::parseResponse(p.readFd()));
        const auto took = Clock::now() - start;
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->getType(), row.type) << row.what;
        EXPECT_EQ(reply->getName(), row.name) << row.what;
        EXPECT_EQ(recordsText(*reply), row.records) << row.what;
        // Only a reply that no line completes waits out the idle time.
        const bool waits = (row.type == T::eof && row.records.empty()) ||
                           (row.type == T::unknown && !row.closeAtEnd);
        if (waits) {
            EXPECT_GE(took, std::chrono::milliseconds(990)) << row.what;
        } else {
            EXPECT_LT(took, std::chrono::milliseconds(900)) << row.what;
        }
    }
}

TEST(TallyqResponseTest, SplitAtEveryBytePositionParsesTheSame) {
    for (std::size_t i = 1; i < FULL_REPLY.size(); ++i) {
        TallyqReplyReader reader;
        reader.feed(FULL_REPLY.data(), i);
        ASSERT_FALSE(reader.complete()) << i;
        reader.feed(FULL_REPLY.data() + i, FULL_REPLY.size() - i);
        ASSERT_TRUE(reader.complete()) << i;
        EXPECT_EQ(reader.takeUnused(), "");
        std::unique_ptr<TallyqResponse> reply(reader.take());
        EXPECT_TRUE(reply->isResponse()) << i;
        EXPECT_EQ(recordsText(*reply), FULL_RECORDS) << i;
    }
}

TEST(TallyqResponseTest, BytesAfterACompletingLineAreKept) {
    ScriptedPipe p({{0, "_event_ n k v\n" + FULL_REPLY + "_event_ m"}, {100, " j w\n"}}, false);
    std::string carry;
    const FdIo::Deadline none(-1);
    std::unique_ptr<TallyqResponse> first(TallyqResponse::readResponse(p.readFd(), carry, none));
    std::unique_ptr<TallyqResponse> second(TallyqResponse::readResponse(p.readFd(), carry, none));
    std::unique_ptr<TallyqResponse> third(TallyqResponse::readResponse(p.readFd(), carry, none));
    EXPECT_TRUE(first->isEvent());
    EXPECT_TRUE(second->isResponse());
    EXPECT_EQ(recordsText(*second), FULL_RECORDS);
    EXPECT_TRUE(third->isEvent());
    EXPECT_EQ(recordsText(*third), "[j=w|-|-|-]");
    EXPECT_EQ(carry, "");
}

TEST(TallyqResponseTest, BoundsMakeTheReplyFatal) {
    using O = TallyqResponse::Oversize;
    const std::string BEGIN = "_response_ begin x y\n";
    const std::string longLine =
        "_response_ begin x y\n_tallyq::a _k_ " + std::string(TallyqResponse::MAX_LINE, '1') + "\n";
    // A part line that replaces itself: text that costs nothing once parsed.
    std::string shortLines;
    while (shortLines.size() < (1 << 20)) shortLines += "_r_ _a_ 1\n";
    // Small on the wire, large once parsed: many short keys, empty records.
    std::string shortKeys;
    for (int n = 0; shortKeys.size() < (1 << 20); ++n)
        shortKeys += (n % 2000 == 0 ? "\n_tallyq::k" : "") + (" _k" + std::to_string(n));
    shortKeys += "\n";
    std::string headers;
    while (headers.size() < (1 << 20)) headers += "_tallyq::\n";
    const struct {
        const char* what;
        std::string first;  // fed once
        std::string piece;  // then again and again
        std::size_t limit;  // the reply must be refused by then
        O oversize;
    } rows[] = {
        {"a line that never ends", "", std::string(4096, 'x'), TallyqResponse::MAX_LINE + 4096,
         O::None},
        {"a whole line over the limit", "", longLine, longLine.size(), O::None},
        {"a reply that never ends", BEGIN, shortLines, TallyqResponse::MAX_REPLY + shortLines.size(),
         O::Text},
        {"short keys", BEGIN, shortKeys, TallyqResponse::MAX_REPLY, O::Parsed},
        {"empty records", BEGIN, headers, TallyqResponse::MAX_REPLY, O::Parsed},
    };
    for (const auto& row : rows) {
        TallyqReplyReader reader;
        reader.feed(row.first.data(), row.first.size());
        std::size_t fed = 0;
        while (!reader.complete() && fed < row.limit) {
            reader.feed(row.piece.data(), row.piece.size());
            fed += row.piece.size();
        }
        if (row.oversize != O::None) {
            // Refused, but read on to its end line: the next reply follows.
            ASSERT_FALSE(reader.complete()) << row.what;
            reader.feed(row.piece.data(), row.piece.size());
            const std::string end = "\n_response_ end\n_event_ n";
            reader.feed(end.data(), end.size());
            EXPECT_EQ(reader.takeUnused(), "_event_ n") << row.what;
        }
        ASSERT_TRUE(reader.complete()) << row.what;
        std::unique_ptr<TallyqResponse> reply(reader.take());
        EXPECT_TRUE(reply->isFatal()) << row.what;
        EXPECT_EQ(reply->getOversize(), row.oversize) << row.what;
        EXPECT_EQ(reply->wasReadToEnd(), row.oversize != O::None) << row.what;
        EXPECT_EQ(reply->getNumRecords(), 0u) << row.what;
    }
}

// Replies of tens of thousands of records, in the facility's shapes, stay
// under the bounds however the reads split them.
TEST(TallyqResponseTest, LargeRealisticRepliesAreKept) {
    for (const char* name : {"ds", "wqm fset"}) {
        std::ifstream in(std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/fsstats/" + name +
                         ".reply");
        const std::string fixture((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        const std::size_t from = fixture.find('\n') + 1;
        const std::size_t to = fixture.rfind("_response_ end");
        std::string text = fixture.substr(0, from);
        // Three records a copy: 20,001 disks, 5,001 filesets.
        const int copies = std::string(name) == "ds" ? 6667 : 1667;
        for (int i = 0; i < copies; ++i) text.append(fixture, from, to - from);
        text += "_response_ end\n";
        for (std::size_t piece : {std::size_t(4096), std::size_t(65536), text.size()}) {
            SCOPED_TRACE(piece);
            TallyqReplyReader reader;
            for (std::size_t at = 0; at < text.size(); at += piece)
                reader.feed(text.data() + at, std::min(piece, text.size() - at));
            ASSERT_TRUE(reader.complete()) << name;
            std::unique_ptr<TallyqResponse> reply(reader.take());
            EXPECT_TRUE(reply->isResponse()) << name << " " << piece;
            EXPECT_EQ(reply->getNumRecords(), 3u * copies) << name << " " << piece;
        }
    }
}

void onSignal(int) {}

TEST(TallyqResponseTest, ASignalDoesNotEndTheWait) {
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = onSignal;  // no SA_RESTART: poll and read see EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    ScriptedPipe p({{600, EMPTY_REPLY}}, false);
    const pthread_t reader = pthread_self();
    std::thread interrupter([reader] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(reader, SIGUSR1);
        }
    });
    std::unique_ptr<TallyqResponse> reply(TallyqResponse::parseResponse(p.readFd()));
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(reply->isResponse());
}

}  // namespace
