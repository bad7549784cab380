#include "LineReader.h"

#include <poll.h>

#include <cerrno>
#include <utility>

namespace {
constexpr std::size_t readChunk = 4096;
}

LineReader::LineReader(int f, std::size_t maxLength, Overflow o)
    : fd(f), maxLen(maxLength), overflow(o) {}

bool LineReader::takeLine(std::string& line, Status& status, bool atEof) {
    for (;;) {
        std::size_t nl = pending.find('\n');
        if (skipping) {
            if (nl == std::string::npos) {
                pending.clear();
                return false;
            }
            pending.erase(0, nl + 1);
            skipping = false;
            continue;
        }
        if (overflow == Overflow::Split) {
            // Every piece, its '\n' counted, holds at most maxLen bytes: the
            // '\n' after exactly maxLen bytes comes back alone, as an empty Line.
            if (nl != std::string::npos && nl < maxLen) {
                line.assign(pending, 0, nl);
                pending.erase(0, nl + 1);
                status = Status::Line;
                terminated = true;
                return true;
            }
            if (pending.size() >= maxLen) {
                line.assign(pending, 0, maxLen);
                pending.erase(0, maxLen);
                status = Status::Piece;
                return true;
            }
        } else if (nl != std::string::npos && nl <= maxLen) {
            line.assign(pending, 0, nl);
            pending.erase(0, nl + 1);
            status = Status::Line;
            terminated = true;
            return true;
        }
        if (pending.size() > maxLen) {
            line.assign(pending, 0, maxLen);
            if (nl != std::string::npos) {
                pending.erase(0, nl + 1);
            } else {
                pending.clear();
                skipping = true;
            }
            status = Status::TooLong;
            return true;
        }
        if (atEof && !pending.empty()) {
            line.swap(pending);
            pending.clear();
            status = Status::Line;
            terminated = false;
            return true;
        }
        return false;
    }
}

LineReader::Status LineReader::readLine(std::string& line, int timeoutMs) {
    line.clear();
    Status status;
    if (takeLine(line, status, eof)) return status;
    if (eof) return endStatus();

    FdIo::Deadline deadline(timeoutMs);
    const bool watched = writerEndFd >= 0 || writerEnded;
    char chunk[readChunk];
    for (;;) {
        std::size_t got = 0;
        FdIo::IoResult r =
            watched ? readWatched(chunk, sizeof chunk, got, deadline)
                    : FdIo::readSome(fd, chunk, sizeof chunk, got, deadline.remainingMs());
        switch (r) {
            case FdIo::IoResult::Ok:
                pending.append(chunk, got);
                if (takeLine(line, status, false)) return status;
                break;
            case FdIo::IoResult::Eof:
                eof = true;
                skipping = false;
                if (takeLine(line, status, true)) return status;
                return endStatus();
            case FdIo::IoResult::TimedOut:
                return Status::TimedOut;
            case FdIo::IoResult::Error:
                lastErrno = errno;
                return Status::Error;
        }
    }
}

std::size_t LineReader::discardBuffered() {
    const std::size_t dropped = pending.size();
    pending.clear();
    // What follows is new output, not the tail of an over-long line.
    skipping = false;
    return dropped;
}

void LineReader::watchWriter(int endFd, std::function<bool()> ended) {
    writerEndFd = endFd;
    writerEnded = std::move(ended);
}

FdIo::IoResult LineReader::readWatched(char* buf, std::size_t cap, std::size_t& got,
                                       const FdIo::Deadline& deadline) {
    for (;;) {
        if (writerEndSeen) {
            // What the writer sent before it ended is in the pipe already;
            // past that, only a pipe that others hold open has no end.
            const FdIo::IoResult r = FdIo::readSome(fd, buf, cap, got, 0);
            if (r != FdIo::IoResult::TimedOut) return r;
            writerGone = true;
            return FdIo::IoResult::Eof;
        }
        int waitMs = deadline.remainingMs();
        if (writerEndFd < 0 && (waitMs < 0 || waitMs > WATCH_TICK_MS)) waitMs = WATCH_TICK_MS;
        struct pollfd p[2] = {{fd, POLLIN, 0}, {writerEndFd, POLLIN, 0}};
        const int n = poll(p, writerEndFd >= 0 ? 2 : 1, waitMs);
        if (n < 0 && errno != EINTR) return FdIo::IoResult::Error;
        if (n > 0 && p[0].revents != 0) {
            const FdIo::IoResult r = FdIo::readSome(fd, buf, cap, got, 0);
            if (r != FdIo::IoResult::TimedOut) return r;
        }
        if (writerEndFd >= 0 ? n > 0 && p[1].revents != 0 : writerEnded()) {
            writerEndSeen = true;
            continue;
        }
        if (deadline.passed()) return FdIo::IoResult::TimedOut;
    }
}
