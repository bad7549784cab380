// The two relay directions in this process: pipes stand for the standard
// streams and a socket pair for the statistics socket.
#include "SockRelay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "FdIo.h"

namespace {

using Clock = std::chrono::steady_clock;

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::string readN(int fd, std::size_t n) {
    std::string out;
    char buf[8192];
    while (out.size() < n) {
        std::size_t got = 0;
        std::size_t want = std::min(sizeof buf, n - out.size());
        if (FdIo::readSome(fd, buf, want, got, 5000) != FdIo::IoResult::Ok) break;
        out.append(buf, got);
    }
    return out;
}

bool atEof(int fd) {
    char c;
    std::size_t got = 0;
    return FdIo::readSome(fd, &c, 1, got, 5000) == FdIo::IoResult::Eof;
}

class SockRelayTest : public testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sock), 0);
    }
    void TearDown() override {
        if (relay.joinable()) relay.join();
        for (int fd : {in[1], out[0], sock[1]}) close(fd);
    }
    void startRelay() {
        relay = std::thread([this] { rc = SockRelay::relayStreams(in[0], out[1], sock[0]); });
        started = Clock::now();
    }
    double secondsToEnd() {
        relay.join();
        return std::chrono::duration<double>(Clock::now() - started).count();
    }
    void put(int fd, const std::string& s) {
        ASSERT_EQ(FdIo::writeAll(fd, s.data(), s.size(), 5000), FdIo::IoResult::Ok);
    }

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int sock[2] = {-1, -1};
    std::thread relay;
    Clock::time_point started;
    int rc = -2;
};

TEST_F(SockRelayTest, BytesPassBothWaysAndEndOfInputClosesEverything) {
    startRelay();
    const std::string request("tallyq req\0\n\xff", 13);
    put(in[1], request);
    EXPECT_EQ(readN(sock[1], request.size()), request);
    // A reply bigger than one chunk arrives whole and in order.
    std::string reply;
    for (int i = 0; i < 20000; ++i) reply += static_cast<char>(i * 7);
    put(sock[1], reply);
    EXPECT_EQ(readN(out[0], reply.size()), reply);

    close(in[1]);
    in[1] = -1;
    EXPECT_LT(secondsToEnd(), 2.5);
    EXPECT_EQ(rc, 0);
    // The facility sees the end, the reader sees the end, and the relay's
    // three descriptors are closed.
    EXPECT_TRUE(atEof(sock[1]));
    EXPECT_TRUE(atEof(out[0]));
    EXPECT_FALSE(isOpen(in[0]));
    EXPECT_FALSE(isOpen(out[1]));
    EXPECT_FALSE(isOpen(sock[0]));
}

TEST_F(SockRelayTest, FacilityHangingUpEndsBothDirections) {
    startRelay();
    put(in[1], "q");
    EXPECT_EQ(readN(sock[1], 1), "q");
    put(sock[1], "r");
    EXPECT_EQ(readN(out[0], 1), "r");
    close(sock[1]);
    sock[1] = -1;
    // The input direction had data, so it ends at its next poll period.
    EXPECT_LT(secondsToEnd(), 2.5);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(atEof(out[0]));
    EXPECT_EQ(write(in[1], "x", 1), -1);  // the relay no longer reads its input
}

}  // namespace
