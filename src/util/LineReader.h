// Reads '\n'-terminated lines from a file descriptor, with an explicit maximum
// line length and an optional time-out.
//
// Owned by whoever owns the descriptor and used by one thread at a time; it
// never closes the descriptor. Bytes pass unchanged: a carriage return or a
// NUL byte stays part of the line. A line longer than the maximum is reported
// as TooLong with its first maxLength bytes, and the rest of it, up to and
// including its '\n', is dropped, so the following call starts at the next
// line and an over-long input can never grow the buffer without bound.
// Built with Overflow::Split instead, a line is passed on whole, in pieces:
// every maxLength bytes that do not hold its '\n' come back as a Piece.
//
// The writer can be watched apart from the descriptor (watchWriter): a child
// that ends while a process it started still holds its output open never
// brings end of input, so without the watch a reader waits out its whole
// time-out for an answer that cannot come.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "FdIo.h"

class LineReader {
  public:
    enum class Status {
        Line,      // line holds the next line without its '\n'
        Eof,       // input ended; a last line without '\n' was returned before
        TimedOut,  // no complete line within the time-out; bytes read so far are kept
        TooLong,   // line holds the first maxLength bytes of an over-long line
        Piece,     // Split only: the next maxLength bytes of a line that goes on
        Ended,     // the watched writer has ended and everything it wrote has
                   // been returned, though others hold its output open; as
                   // with Eof, a last line without '\n' was returned before
        Error      // read failed; error() holds errno
    };

    enum class Overflow { Drop, Split };

    LineReader(int fd, std::size_t maxLength, Overflow overflow = Overflow::Drop);

    // Reads the next line. timeoutMs < 0 waits for ever; otherwise it bounds
    // the whole call, not each read.
    Status readLine(std::string& line, int timeoutMs = -1);

    std::size_t maxLength() const { return maxLen; }
    // Whether the last Line returned ended with '\n' (false only for a last
    // line cut short by the end of input), for callers that pass text on
    // byte for byte.
    bool lastLineTerminated() const { return terminated; }
    int error() const { return lastErrno; }
    // Whether bytes already read wait to be returned by a later call.
    bool buffered() const { return !pending.empty(); }
    // Forgets the bytes read but not yet returned, so the next call starts
    // with what the descriptor delivers next; returns how many were dropped.
    std::size_t discardBuffered();

    // Watches the writer while a call waits for input: endFd (the writer's
    // pidfd) becomes readable once it has ended; where it is -1, ended() is
    // asked every WATCH_TICK_MS instead. ended() must not block.
    void watchWriter(int endFd, std::function<bool()> ended);
    static constexpr int WATCH_TICK_MS = 100;

  private:
    // Takes a line out of pending when one is complete (or forced at end of
    // input); returns false when more bytes are needed.
    bool takeLine(std::string& line, Status& status, bool atEof);
    // As FdIo::readSome until the deadline, but for a watched writer: once
    // it has ended, what is left to read comes, then Eof (with writerGone
    // set where the pipe itself has not ended).
    FdIo::IoResult readWatched(char* buf, std::size_t cap, std::size_t& got,
                               const FdIo::Deadline& deadline);
    Status endStatus() const { return writerGone ? Status::Ended : Status::Eof; }

    const int fd;
    const std::size_t maxLen;
    const Overflow overflow;
    std::string pending;    // bytes read but not yet returned
    bool skipping = false;  // dropping the tail of an over-long line
    bool eof = false;       // the descriptor reported end of input
    int lastErrno = 0;
    bool terminated = true;  // see lastLineTerminated()
    int writerEndFd = -1;    // see watchWriter()
    std::function<bool()> writerEnded;
    bool writerEndSeen = false;  // the watched writer has ended
    bool writerGone = false;     // and its output is held open by others
};
