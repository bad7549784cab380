// Shared set-up of the blaster tests: a daemon log written by the real
// logging backend into a temporary directory, and the sample-limit variable
// scoped to one test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "LoggerBackend.h"
#include "stubs/StubHarness.h"

namespace MiscTest {

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

class Fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        logPath = dir.path() + "/daemon.log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, logPath.c_str(), true));
        env.set("VELMAR_BLASTER_MAXCOUNTER", nullptr);
    }
    void TearDown() override { LoggerBackend::destroy(); }

    // Everything logged so far; stops the backend to flush it.
    std::string daemonLog() {
        LoggerBackend::destroy();
        std::ifstream in(logPath);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    StubHarness::TempDir dir;
    StubHarness::ScopedEnv env;
    std::string logPath;
};

}  // namespace MiscTest
