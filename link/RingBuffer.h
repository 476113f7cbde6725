// The receive buffer between the window thread (which appends what the port delivers) and the
// worker (which takes it): 512 bytes used circularly, at most 511 unread.
#pragma once

#include <cstddef>
#include <mutex>

namespace pellorin {

class RingBuffer {
  public:
    static constexpr int kSize = 512;

    // Zeroes the storage and empties the buffer.
    void Clear();
    // Stores the bytes in order. More than 511 unread bytes overwrite the oldest ones: the
    // buffer keeps the newest bytes, as the device's latest reply is what the worker waits for.
    void Append(const char* bytes, std::size_t count);
    // Moves every unread byte, oldest first, to `destination` (at most `capacity` bytes; the rest
    // stay unread) and returns the number moved. No terminating zero is written.
    std::size_t TakeAll(char* destination, std::size_t capacity = kSize - 1);
    [[nodiscard]] std::size_t Unread() const;

  private:
    // One lock per operation: the window thread appends and clears, the worker clears and takes.
    mutable std::mutex m_mutex;
    char Data[kSize] = {};
    int ReadPos = 0;
    int WritePos = 0;
};

}  // namespace pellorin
