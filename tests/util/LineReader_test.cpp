#include "LineReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FdIo.h"

namespace {

using Status = LineReader::Status;

struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        closeWrite();
        if (fd[0] >= 0) close(fd[0]);
    }
    void put(const std::string& s) {
        ASSERT_EQ(FdIo::writeAll(fd[1], s.data(), s.size(), 1000), FdIo::IoResult::Ok);
    }
    void closeWrite() {
        if (fd[1] >= 0) close(fd[1]);
        fd[1] = -1;
    }
};

struct Step {
    Status status;
    std::string line;
};

TEST(LineReader, SplitsInputIntoLines) {
    const std::size_t max = 8;
    struct Row {
        const char* why;
        std::string input;
        std::vector<Step> steps;
        LineReader::Overflow overflow = LineReader::Overflow::Drop;
    } rows[] = {
        {"plain lines, then end",
         "a\nbc\n",
         {{Status::Line, "a"}, {Status::Line, "bc"}, {Status::Eof, ""}}},
        {"empty lines count",
         "\n\nx\n",
         {{Status::Line, ""}, {Status::Line, ""}, {Status::Line, "x"}, {Status::Eof, ""}}},
        {"last line without line end is still served",
         "a\nlast",
         {{Status::Line, "a"}, {Status::Line, "last"}, {Status::Eof, ""}}},
        {"carriage return and NUL stay in the line",
         std::string("z\r\n\0q\n", 6),
         {{Status::Line, "z\r"}, {Status::Line, std::string("\0q", 2)}, {Status::Eof, ""}}},
        {"exactly the maximum fits", "12345678\n", {{Status::Line, "12345678"}, {Status::Eof, ""}}},
        {"one byte over: cut, and the tail is dropped",
         "123456789\nnext\n",
         {{Status::TooLong, "12345678"}, {Status::Line, "next"}, {Status::Eof, ""}}},
        {"over-long last line without line end",
         "123456789abc",
         {{Status::TooLong, "12345678"}, {Status::Eof, ""}}},
        {"long tail spanning many reads is dropped",
         std::string(100000, 'x') + "\nok\n",
         {{Status::TooLong, "xxxxxxxx"}, {Status::Line, "ok"}, {Status::Eof, ""}}},
        {"nothing at all", "", {{Status::Eof, ""}, {Status::Eof, ""}}},
        // Split: every piece holds at most the maximum, its '\n' counted.
        {"split: a long line in pieces",
         "123456789abcdefghij\nok\n",
         {{Status::Piece, "12345678"},
          {Status::Piece, "9abcdefg"},
          {Status::Line, "hij"},
          {Status::Line, "ok"},
          {Status::Eof, ""}},
         LineReader::Overflow::Split},
        {"split: the '\n' after exactly the maximum comes alone",
         "12345678\n1234567\n",
         {{Status::Piece, "12345678"},
          {Status::Line, ""},
          {Status::Line, "1234567"},
          {Status::Eof, ""}},
         LineReader::Overflow::Split},
        {"split: a long last line without line end",
         "123456789ab",
         {{Status::Piece, "12345678"}, {Status::Line, "9ab"}, {Status::Eof, ""}},
         LineReader::Overflow::Split},
    };
    for (const Row& r : rows) {
        Pipe p;
        LineReader reader(p.fd[0], max, r.overflow);
        // Writing and reading in turn keeps big inputs from filling the pipe.
        std::size_t fed = 0;
        std::string line;
        for (const Step& s : r.steps) {
            Status got;
            for (;;) {
                got = reader.readLine(line, 0);
                if (got != Status::TimedOut) break;
                ASSERT_LE(fed, r.input.size()) << r.why;
                if (fed == r.input.size()) {
                    p.closeWrite();
                    continue;
                }
                std::size_t n = std::min<std::size_t>(4096, r.input.size() - fed);
                p.put(r.input.substr(fed, n));
                fed += n;
            }
            EXPECT_EQ(got, s.status) << r.why;
            EXPECT_EQ(line, s.line) << r.why;
        }
    }
}

TEST(LineReader, TimeOutKeepsAPartialLine) {
    Pipe p;
    LineReader reader(p.fd[0], 64);
    std::string line;
    p.put("par");
    EXPECT_EQ(reader.readLine(line, 20), Status::TimedOut);
    p.put("tial\nrest");
    EXPECT_EQ(reader.readLine(line, 1000), Status::Line);
    EXPECT_EQ(line, "partial");
    EXPECT_EQ(reader.readLine(line, 20), Status::TimedOut);
    p.closeWrite();
    EXPECT_EQ(reader.readLine(line, 1000), Status::Line);
    EXPECT_EQ(line, "rest");
}

// A watched writer that ends while another process holds its output: what
// it wrote comes first, then Ended, at once rather than at the time-out.
// Seen through a descriptor readable at its end (as a pidfd is: here the
// read end of a pipe whose write end closes) and by asking every tick.
TEST(LineReader, WatchedWriterThatEndsIsNoLongerWaitedFor) {
    struct Row {
        const char* why;
        bool ends;         // the writer ends
        bool closesInput;  // and the output is closed with it
        std::vector<Step> steps;
    } rows[] = {
        {"ended, output held open",
         true,
         false,
         {{Status::Line, "a"}, {Status::Line, "part"}, {Status::Ended, ""}, {Status::Ended, ""}}},
        {"ended and closed: plain end of input",
         true,
         true,
         {{Status::Line, "a"}, {Status::Line, "part"}, {Status::Eof, ""}}},
        {"still running", false, false, {{Status::Line, "a"}, {Status::TimedOut, ""}}},
    };
    for (const bool byFd : {true, false}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.why) + (byFd ? ", by descriptor" : ", by tick"));
            Pipe p;
            Pipe end;
            bool ended = false;
            LineReader reader(p.fd[0], 64);
            reader.watchWriter(byFd ? end.fd[0] : -1, [&ended] { return ended; });
            p.put("a\npart");
            if (r.ends) {
                end.closeWrite();
                ended = true;
            }
            if (r.closesInput) p.closeWrite();
            std::string line;
            for (const Step& s : r.steps) {
                EXPECT_EQ(reader.readLine(line, s.status == Status::TimedOut ? 150 : 5000),
                          s.status);
                EXPECT_EQ(line, s.line);
            }
        }
    }
}

TEST(LineReader, ReadFailureIsAnError) {
    LineReader reader(-1, 64);
    std::string line;
    EXPECT_EQ(reader.readLine(line), Status::Error);
    EXPECT_EQ(reader.error(), EBADF);
}

}  // namespace
