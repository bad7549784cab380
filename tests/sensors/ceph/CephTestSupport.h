// Shared set-up of the Ceph channel and sensor tests: a temporary directory,
// a daemon log written by the real logging backend, a configuration naming
// the fake relay, and the relay's own log of what it was asked.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Configuration.h"
#include "LoggerBackend.h"
#include "ParamDefStore.h"
#include "ParamNames.h"
#include "ParamValStore.h"
#include "SensorCtrl.h"
#include "stubs/StubHarness.h"

namespace CephTest {

const std::string relayPath = CEPHRELAY;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

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
        // As in the daemon: the relay must not inherit either.
        oldPipe = signal(SIGPIPE, SIG_IGN);
        oldChld = signal(SIGCHLD, SIG_IGN);
        daemonLogPath = dir.path() + "/daemon.log";
        relayLogPath = dir.path() + "/relay.log";
        ASSERT_TRUE(
            LoggerBackend::createAndInitLogger(LogNameSpace::esDebug, daemonLogPath.c_str(), true));
        env.set("CEPHRELAY_LOG", relayLogPath.c_str());
        env.set("CEPHRELAY_MODE", nullptr);
        env.set("CEPHRELAY_DIR", nullptr);
        setRelay(relayPath);
        SensorCtrl::config = &cfg;
    }

    void TearDown() override {
        SensorCtrl::config = nullptr;
        LoggerBackend::destroy();
        signal(SIGPIPE, oldPipe);
        signal(SIGCHLD, oldChld);
    }

    void setRelay(const std::string& path) { cfg.getParamStore().putStr(Cfg::CEPHRADOS, path); }
    void unsetRelay() { cfg.getParamStore() = Cfg::ParamValStore(); }

    // Writes the reply the relay gives to request.
    void setReply(const std::string& request, const std::string& text) {
        env.set("CEPHRELAY_DIR", dir.path().c_str());
        std::ofstream(dir.path() + "/" + request + ".reply", std::ios::binary) << text;
    }

    // Everything logged so far; stops the backend to flush it, so call it
    // once, at the end of a test.
    std::string daemonLog() {
        LoggerBackend::destroy();
        return readFile(daemonLogPath);
    }

    std::string relayLog() const { return readFile(relayLogPath); }

    // Waits until the relay log holds what, for at most timeoutMs.
    bool waitForRelayLog(const std::string& what, int timeoutMs = 5000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (relayLog().find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The pids of the relays that logged start, in order.
    std::vector<std::string> relayStarts() const {
        std::vector<std::string> pids;
        for (const std::string& l : lines(relayLog())) {
            if (l.find(" start ") != std::string::npos) pids.push_back(l.substr(0, l.find(' ')));
        }
        return pids;
    }

    StubHarness::TempDir dir;
    StubHarness::ScopedEnv env;
    std::string daemonLogPath;
    std::string relayLogPath;
    Cfg::ParamDefStore schema;
    Cfg::Configuration cfg{schema, Cfg::ParamValStore()};

  private:
    void (*oldPipe)(int) = SIG_DFL;
    void (*oldChld)(int) = SIG_DFL;
};

}  // namespace CephTest
