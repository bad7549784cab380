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

struct StackProbe : Runnable {
    size_t stackSize = 0;
    void* run(void*) override {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stackSize);
            pthread_attr_destroy(&attr);
        }
        return nullptr;
    }
};

TEST(Thread, StackSizeAppliesToThreadsStartedAfterIt) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t librarySize = 0;
    pthread_attr_getstacksize(&attr, &librarySize);
    pthread_attr_destroy(&attr);

    // The thread sanitizer enlarges a size given for its own use.
    struct Case {
        const char* why;
        size_t set;
        size_t atLeast;
        size_t atMost;
    };
    const Case cases[] = {
        {"a size given is the size the thread gets", 320 * 1024, 320 * 1024, librarySize / 2},
        {"0 gives back the library's default", 0, librarySize, librarySize},
        // Below PTHREAD_STACK_MIN the library refuses it; the thread still starts.
        {"a size too small keeps the default", 1, librarySize, librarySize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Thread::setStackSize(c.set);
        StackProbe probe;
        Thread t("probe", probe, nullptr);
        ASSERT_TRUE(t.start());
        ASSERT_TRUE(t.join(nullptr));
        EXPECT_GE(probe.stackSize, c.atLeast);
        EXPECT_LE(probe.stackSize, c.atMost);
    }
    Thread::setStackSize(0);
}

}  // namespace
