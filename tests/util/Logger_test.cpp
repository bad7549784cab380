#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LoggerBackend.h"
#include "LoggerStub.h"
#include "StdOutLogger.h"

using namespace LogNameSpace;

namespace {

// Dec-08 05:43:12 UTC
constexpr time_t FIXED_TIME = 1702014192;

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The part of a file line after the time stamp "Mmm-dd HH:MM:SS " and the
// blank that separates it from the severity.
std::string afterTime(const std::string& line) { return line.size() > 17 ? line.substr(17) : line; }

// The repeat-suppression state is process-wide and keyed by component, so
// every test uses component names of its own.
class LoggerTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        std::string tmpl = testing::TempDir() + "velmar-log-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir = tmpl;
        file = dir + "/test.log";
    }
    void TearDown() override {
        LoggerBackend::destroy();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string dir;
    std::string file;
};

TEST_F(LoggerTest, LineFormatAndCuts) {
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
    LoggerBackend* b = LoggerBackend::getInstance();
    ASSERT_NE(b, nullptr);
    b->printLog(FIXED_TIME, "fmt", esInfo, "%s %d", "hello", 42);
    b->log(FIXED_TIME, "fmt0", 0, "severity zero");
    b->log(FIXED_TIME, "fmt-1", -3, "negative");

    LoggerStub stub(std::string(30, 'c'));
    EXPECT_STREQ(stub.getName(), std::string(30, 'c').c_str());
    stub.logWarning("%s", std::string(1500, 'x').c_str());
    LoggerBackend::destroy();

    auto lines = readLines(file);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Dec-08 05:43:12  [Info   ] fmt: hello 42");
    EXPECT_EQ(lines[1], "Dec-08 05:43:12  [Debug  ] fmt0: severity zero");
    EXPECT_EQ(lines[2], "Dec-08 05:43:12  [Debug  ] fmt-1: negative");
    EXPECT_EQ(afterTime(lines[3]),
              "[Warning] " + std::string(23, 'c') + ": " + std::string(1023, 'x'));
}

TEST_F(LoggerTest, RepeatsAreSuppressedPerComponent) {
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
    {
        LoggerStub same("rep-same");
        for (int i = 0; i < 20001; ++i) same.logInfo("same text");
        LoggerStub alt("rep-alt");
        for (const char* t : {"A", "B", "A", "B"}) alt.logInfo("%s", t);
        LoggerStub one("rep-one"), two("rep-two");
        one.logError("shared");
        two.logError("shared");
        one.logError("shared");
    }
    LoggerBackend::destroy();

    auto lines = readLines(file);
    std::vector<std::string> tails;
    for (auto& l : lines) tails.push_back(afterTime(l));
    EXPECT_EQ(tails, (std::vector<std::string>{
                         "[Info   ] rep-same: same text",
                         "[Info   ] rep-same: deduplicated message 10000 times: same text",
                         "[Info   ] rep-same: deduplicated message 20000 times: same text",
                         "[Info   ] rep-alt: A",
                         "[Info   ] rep-alt: B",
                         "[Info   ] rep-alt: A",
                         "[Info   ] rep-alt: B",
                         "[Error  ] rep-one: shared",
                         "[Error  ] rep-two: shared",
                     }));
}

TEST_F(LoggerTest, ThresholdFiltersStubsAndCanChange) {
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esWarning, file.c_str(), true));
    LoggerStub s("thr");
    s.logDebug("debug 1");
    s.logInfo("info 1");
    EXPECT_TRUE(s.printLog(esInfo, "info 2"));
    s.logWarning("warning 1");
    s.logError("error 1");
    LoggerBackend::setSeverityThreshold(esDebug);
    EXPECT_EQ(LoggerBackend::getInstance()->getSeverityThreshold(), esDebug);
    s.logDebug("debug 2");
    LoggerBackend::destroy();

    std::vector<std::string> tails;
    for (auto& l : readLines(file)) tails.push_back(afterTime(l));
    EXPECT_EQ(tails, (std::vector<std::string>{"[Warning] thr: warning 1", "[Error  ] thr: error 1",
                                               "[Debug  ] thr: debug 2"}));
}

TEST_F(LoggerTest, DisabledBackendDropsStubLinesButWritesItsOwn) {
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), false));
    LoggerBackend* b = LoggerBackend::getInstance();
    EXPECT_FALSE(b->isEnabled());
    LoggerStub s("dis");
    s.logError("dropped");
    EXPECT_TRUE(s.printLog(esError, "dropped too"));
    b->logInfo("own %s", "line");
    LoggerBackend::destroy();
    std::vector<std::string> tails;
    for (auto& l : readLines(file)) tails.push_back(afterTime(l));
    EXPECT_EQ(tails, std::vector<std::string>{"[Info   ] Logger: own line"});
}

TEST_F(LoggerTest, DestroyWritesEverythingQueuedInOrder) {
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
    constexpr int threads = 4, perThread = 2500;
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([t] {
            LoggerStub s("order" + std::to_string(t));
            for (int i = 0; i < perThread; ++i) s.logInfo("%d", i);
        });
    for (auto& t : ts) t.join();
    LoggerBackend::destroy();

    auto lines = readLines(file);
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    for (auto& l : lines) {
        std::string tail = afterTime(l);
        int t = tail[15] - '0';  // "[Info   ] order<t>: <i>"
        ASSERT_EQ(tail.substr(18), std::to_string(next[t])) << l;
        ++next[t];
    }
}

// A sensor thread left running at shutdown may log while the backend is
// destroyed; the sanitizer builds catch a stub touching a deleted queue.
TEST_F(LoggerTest, StubsLoggingDuringDestroyTouchNothingFreed) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([t, &stop] {
            LoggerStub s("race" + std::to_string(t));
            for (int i = 0; !stop.load(); ++i) {
                s.logInfo("%d", i);
                s.logError("%d", i);
            }
        });
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
        LoggerBackend::destroy();
    }
    // With no backend left the still-running stubs write nothing.
    const auto before = readLines(file).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& t : ts) t.join();
    EXPECT_GT(before, 0u);
    EXPECT_EQ(readLines(file).size(), before);
}

TEST_F(LoggerTest, StubWithoutBackendIsSilentAndFollowsTheBackend) {
    LoggerBackend::destroy();  // no backend: nothing happens
    LoggerBackend::setSeverityThreshold(esError);
    EXPECT_EQ(LoggerBackend::getInstance(), nullptr);

    LoggerStub early("early");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    early.logError("before");
    early.logDebug("before");
    EXPECT_TRUE(early.printLog(esError, "before"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
    early.logError("during");
    LoggerBackend::destroy();
    early.logError("after");

    std::vector<std::string> tails;
    for (auto& l : readLines(file)) tails.push_back(afterTime(l));
    EXPECT_EQ(tails, std::vector<std::string>{"[Error  ] early: during"});
}

TEST_F(LoggerTest, UnopenableFileFailsCreation) {
    std::string bad = dir + "/missing/test.log";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(LoggerBackend::createAndInitLogger(esDebug, bad.c_str(), true));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" [Error  ] Logger: Could not open file " + bad +
                       ": Error No such file or directory\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(LoggerBackend::getInstance(), nullptr);
    EXPECT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
}

// A request with another command stops the backend; stubs then report that
// they cannot log on standard output.
TEST_F(LoggerTest, UnknownCommandStopsTheBackend) {
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, file.c_str(), true));
    LoggerStub s("cmd");
    s.logInfo("first");
    auto* req = new LogReq();
    req->hdr.command = static_cast<logCmd>(2);
    req->hdr.totalLen = sizeof(LogReq);
    LoggerBackend::getInstance()->readAndProcess(req);
    EXPECT_EQ(req, nullptr);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(s.printLog(esError, "lost"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("cmd: lost\nLogging failed: ", 0), 0u) << out;
    LoggerBackend::destroy();
    std::vector<std::string> tails;
    for (auto& l : readLines(file)) tails.push_back(afterTime(l));
    EXPECT_EQ(tails, std::vector<std::string>{"[Info   ] cmd: first"});
}

TEST_F(LoggerTest, StandardStreamTargets) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, "stdout", true));
    LoggerStub("std-out").logInfo("to stdout");
    LoggerBackend::destroy();
    EXPECT_NE(testing::internal::GetCapturedStdout().find(" [Info   ] std-out: to stdout\n"),
              std::string::npos);

    int n = 0;
    for (const char* target : {"stderr", "", static_cast<const char*>(nullptr)}) {
        testing::internal::CaptureStderr();
        ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, target, true));
        std::string comp = "std-err" + std::to_string(n++);
        LoggerStub(comp).logInfo("to stderr");
        LoggerBackend::destroy();
        EXPECT_NE(
            testing::internal::GetCapturedStderr().find(" [Info   ] " + comp + ": to stderr\n"),
            std::string::npos)
            << (target ? target : "null");
    }
}

// The backend must leave standard output open for the rest of the process.
TEST_F(LoggerTest, DestroyKeepsStandardOutputOpen) {
    EXPECT_EXIT(
        {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDOUT_FILENO);
            if (!LoggerBackend::createAndInitLogger(esDebug, "stdout", true)) _exit(3);
            LoggerBackend::destroy();
            if (fcntl(STDOUT_FILENO, F_GETFD) == -1) _exit(1);
            if (std::fputs("still open\n", stdout) == EOF || std::fflush(stdout) != 0) _exit(2);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// Only the exact name "syslog" selects the system log; "SYSLOG" is a file.
TEST_F(LoggerTest, SyslogTargetIsCaseSensitive) {
    std::string d = dir;
    EXPECT_EXIT(
        {
            if (chdir(d.c_str()) != 0) _exit(3);
            if (!LoggerBackend::createAndInitLogger(esDebug, "SYSLOG", true)) _exit(1);
            LoggerStub("sys-file").logInfo("into a file");
            LoggerBackend::destroy();
            // Nothing is logged here: the line would reach the host's real
            // system log.
            if (!LoggerBackend::createAndInitLogger(esDebug, "syslog", true)) _exit(2);
            LoggerBackend::destroy();
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    auto lines = readLines(dir + "/SYSLOG");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(afterTime(lines[0]), "[Info   ] sys-file: into a file");
    EXPECT_EQ(access((dir + "/syslog").c_str(), F_OK), -1);
}

TEST_F(LoggerTest, FatalLineEndsTheProcessWith70) {
    std::string f = file;
    EXPECT_EXIT(
        {
            LoggerBackend::createAndInitLogger(esDebug, f.c_str(), true);
            LoggerStub("fatal").logFatalAndStop("stop %s", "now");
            for (;;) pause();
        },
        testing::ExitedWithCode(70), "");
    auto lines = readLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(afterTime(lines[0]), "[*Fatal*] fatal: stop now");
}

TEST_F(LoggerTest, FatalRepeatStillEndsTheProcess) {
    std::string f = file;
    EXPECT_EXIT(
        {
            LoggerBackend::createAndInitLogger(esDebug, f.c_str(), true);
            LoggerStub s("fatal-rep");
            s.logError("same");
            s.logFatalAndStop("same");
            for (;;) pause();
        },
        testing::ExitedWithCode(70), "");
    auto lines = readLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(afterTime(lines[0]), "[Error  ] fatal-rep: same");
}

TEST_F(LoggerTest, SeverityAboveFatalIsFatal) {
    std::string f = file;
    EXPECT_EXIT(
        {
            LoggerBackend::createAndInitLogger(esDebug, f.c_str(), true);
            LoggerBackend::getInstance()->log(FIXED_TIME, "seven", 7, "too severe");
            _exit(0);
        },
        testing::ExitedWithCode(70), "");
    EXPECT_EQ(readLines(file),
              std::vector<std::string>{"Dec-08 05:43:12  [*Fatal*] seven: too severe"});
}

TEST_F(LoggerTest, SecondCreationAborts) {
    std::string f = file;
    EXPECT_DEATH(
        {
            LoggerBackend::createAndInitLogger(esDebug, f.c_str(), true);
            LoggerBackend::createAndInitLogger(esDebug, f.c_str(), true);
        },
        "LoggerBackend initialized twice!");
}

TEST(ConsoleLogger, LineFormat) {
    setenv("TZ", "UTC", 1);
    tzset();
    StdOutLogger out;
    testing::internal::CaptureStdout();
    out.log(FIXED_TIME, 0, "zero");
    out.log(FIXED_TIME, esWarning, "warn");
    out.logInfo("n=%d", 5);
    std::string text = testing::internal::GetCapturedStdout();
    const std::string fixedLines =
        "Dec-08 05:43:12  [Debug  ]: zero\nDec-08 05:43:12  [Warning]: warn\n";
    EXPECT_EQ(text.substr(0, fixedLines.size()), fixedLines);
    const std::string info = "  [Info   ]: n=5\n";
    ASSERT_GT(text.size(), info.size());
    EXPECT_EQ(text.substr(text.size() - info.size()), info);

    StdErrLogger err;
    testing::internal::CaptureStderr();
    err.log(FIXED_TIME, esError, "to stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Dec-08 05:43:12  [Error  ]: to stderr\n");
}

TEST(ConsoleLogger, FatalIsWrittenThenSigterm) {
    EXPECT_EXIT(StdErrLogger().logFatalAndStop("bye %d", 1), testing::KilledBySignal(SIGTERM),
                "  \\[\\*Fatal\\*\\]: bye 1\n");
    EXPECT_EXIT(StdErrLogger().log(0, 9, "nine"), testing::KilledBySignal(SIGTERM),
                "\\[\\*Fatal\\*\\]: nine\n");
}

}  // namespace
