#include "Thread.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

namespace {

struct Body : Runnable {
    std::atomic<bool> release{false};
    char osName[16] = {};
    void* run(void* a) override {
        prctl(PR_GET_NAME, osName, 0, 0, 0);
        while (!release && isRunning()) Thread::sleep(0, 1000000);
        return a;
    }
};

TEST(Thread, NamesAreCutTo15ForTheRunnableAndTheOs) {
    Body b;
    int arg = 7;
    Thread t("abcdefghijklmnopqrst", b, &arg);
    EXPECT_EQ(t.getName(), "abcdefghijklmnopqrst");
    EXPECT_STREQ(b.getName(), "abcdefghijklmno");
    b.setName(nullptr);
    EXPECT_STREQ(b.getName(), "abcdefghijklmno");
    ASSERT_TRUE(t.start());
    b.release = true;
    void* ret = nullptr;
    ASSERT_TRUE(t.join(&ret));
    EXPECT_EQ(ret, &arg);
    EXPECT_STREQ(b.osName, "abcdefghijklmno");
}

TEST(Thread, NeverStartedThreadFailsQuietly) {
    Body b;
    Thread t("idle", b, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(t.kill());
    EXPECT_FALSE(t.join(nullptr));
    EXPECT_FALSE(t.joinTimed(nullptr, 1));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Thread, TimedJoinReportsARunningThread) {
    Body b;
    Thread t("sleeper", b, nullptr);
    ASSERT_TRUE(t.start());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(t.joinTimed(nullptr, 0));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Could not join in thread sleeper: ", 0), 0u) << out;
    b.stop();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(t.joinTimed(nullptr, 5));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Thread, StopThenRestart) {
    Body b;
    Thread t("again", b, nullptr);
    b.stop();
    EXPECT_FALSE(b.isRunning());
    ASSERT_TRUE(t.start());
    EXPECT_TRUE(t.isRunning());
    b.stop();
    EXPECT_TRUE(t.join(nullptr));
}

TEST(Thread, JoinTwiceFailsQuietly) {
    Body b;
    Thread t("twice", b, nullptr);
    ASSERT_TRUE(t.start());
    b.stop();
    ASSERT_TRUE(t.join(nullptr));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(t.join(nullptr));
    EXPECT_FALSE(t.joinTimed(nullptr, 1));
    EXPECT_FALSE(t.kill());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Blocked in a cancellation point (nanosleep): kill ends it at once.
struct Sleeper : Runnable {
    std::atomic<bool> entered{false};
    void* run(void*) override {
        entered = true;
        for (;;) Thread::sleep(60, 0);
        return nullptr;
    }
};

TEST(Thread, KillCancelsAThreadBlockedInACancellationPoint) {
    Sleeper s;
    Thread t("sleeper", s, nullptr);
    ASSERT_TRUE(t.start());
    while (!s.entered) Thread::sleep(0, 1000000);
    auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(t.kill());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

// Spinning without a cancellation point: kill gives up after a bounded join
// instead of hanging its caller.
struct Spinner : Runnable {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    void* run(void*) override {
        entered = true;
        while (!release) {
        }
        ended = true;
        return nullptr;
    }
};

TEST(Thread, KillOfASpinningThreadIsBounded) {
    Spinner s;
    Thread t("spinner", s, nullptr);
    ASSERT_TRUE(t.start());
    while (!s.entered) Thread::sleep(0, 1000000);
    auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(t.kill());
    std::string out = testing::internal::GetCapturedStdout();
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::seconds(Thread::killJoinSeconds - 1));
    EXPECT_LT(took, std::chrono::seconds(Thread::killJoinSeconds + 5));
    EXPECT_EQ(out.rfind("Could not join in thread spinner :", 0), 0u) << out;
    // The detached thread is no longer joinable through the handle.
    EXPECT_FALSE(t.join(nullptr));
    s.release = true;
    while (!s.ended) Thread::sleep(0, 1000000);
}

}  // namespace
