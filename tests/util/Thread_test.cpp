#include "Thread.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>
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

}  // namespace
