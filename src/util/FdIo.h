// Reading and writing raw file descriptors with an optional time-out, for
// pipes to child processes, the relays' standard streams and UNIX sockets.
//
// Free functions without state; any thread may call them on a descriptor it
// owns. A time-out below 0 waits for ever; 0 only tries once. EINTR is retried
// inside, so a signal never shows as a failure.
#pragma once

#include <cstddef>

namespace FdIo {

enum class IoResult {
    Ok,        // data read, or everything written
    Eof,       // the other side has ended (read only)
    TimedOut,  // nothing within the time-out
    Error      // a system call failed; errno holds the reason
};

// Reads at most cap bytes (cap > 0) into buf once something is available.
// got is set to the count read (0 unless Ok).
IoResult readSome(int fd, void* buf, std::size_t cap, std::size_t& got, int timeoutMs);

// Writes all len bytes, looping over short writes. With a time-out every write
// is at most PIPE_BUF bytes after poll has reported room, so a pipe write
// cannot block past the deadline. Ok only when every byte was written.
IoResult writeAll(int fd, const void* data, std::size_t len, int timeoutMs);

// Milliseconds left until a deadline taken from the monotonic clock; used to
// spread one time-out over several waits. A negative timeout stays negative.
class Deadline {
  public:
    explicit Deadline(int timeoutMs);
    // -1 for "for ever", else the milliseconds left (0 once passed).
    int remainingMs() const;
    bool passed() const { return remainingMs() == 0; }

  private:
    long long endMs;  // < 0 for no deadline
};

}  // namespace FdIo
