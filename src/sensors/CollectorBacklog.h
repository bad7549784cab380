// One collector's backlog: the bytes of whole messages its socket has not
// taken yet, in the order they were handed over. A message's bytes are held
// once, in an immutable buffer that every backlog still owing part of it
// shares; a backlog holds only references and the offset it has reached.
// Every collector is handed the same messages in the same order, so each
// backlog is a tail of one stream and the buffers alive are those of the
// longest backlog, however many collectors there are.
//
// Owned by CollectorLinks, one per collector; controller thread only.
// Header-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class CollectorBacklog {
  public:
    using Buffer = std::shared_ptr<const std::vector<char>>;

    // A message being handed to the collectors: its bytes are copied into a
    // shared buffer on the first backlog that needs them, and only then.
    class Message {
      public:
        Message(const char* bytes, uint32_t length) : bytes(bytes), length(length) {}
        const char* data() const { return bytes; }
        uint32_t size() const { return length; }
        const Buffer& shared() {
            if (!copy) copy = std::make_shared<const std::vector<char>>(bytes, bytes + length);
            return copy;
        }

      private:
        const char* bytes;
        uint32_t length;
        Buffer copy;
    };

    bool empty() const { return parts.empty(); }
    // Bytes owed.
    size_t bytes() const { return owed; }
    // Owes the message from byte `from` on.
    void append(Message& message, size_t from) {
        if (from >= message.size()) return;
        parts.push_back(Part{message.shared(), from});
        owed += message.size() - from;
    }
    // The bytes owed next, contiguous: the rest of the oldest message.
    const char* front() const { return parts.front().buffer->data() + parts.front().from; }
    size_t frontSize() const { return parts.front().buffer->size() - parts.front().from; }
    // n bytes of front() were sent (n <= frontSize()).
    void consume(size_t n) {
        Part& p = parts.front();
        p.from += n;
        owed -= n;
        if (p.from == p.buffer->size()) parts.pop_front();
    }
    void clear() {
        std::deque<Part>().swap(parts);
        owed = 0;
    }

  private:
    struct Part {
        Buffer buffer;
        size_t from;
    };
    std::deque<Part> parts;
    size_t owed = 0;
};
