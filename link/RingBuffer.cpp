// Circular receive buffer.
#include "link/RingBuffer.h"

#include <cstring>

namespace pellorin {

void RingBuffer::Clear() {
    std::lock_guard lock(m_mutex);
    std::memset(Data, 0, sizeof Data);
    ReadPos = 0;
    WritePos = 0;
}

void RingBuffer::Append(const char* bytes, std::size_t count) {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < count; ++i) {
        Data[WritePos] = bytes[i];
        WritePos = (WritePos + 1) % kSize;
        // A full buffer drops its oldest byte rather than reading as empty, which would lose
        // all 511 bytes at once.
        if (WritePos == ReadPos) ReadPos = (ReadPos + 1) % kSize;
    }
}

std::size_t RingBuffer::TakeAll(char* destination, std::size_t capacity) {
    std::lock_guard lock(m_mutex);
    std::size_t taken = 0;
    while (ReadPos != WritePos && taken < capacity) {
        destination[taken++] = Data[ReadPos];
        ReadPos = (ReadPos + 1) % kSize;
    }
    return taken;
}

std::size_t RingBuffer::Unread() const {
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>((WritePos - ReadPos + kSize) % kSize);
}

}  // namespace pellorin
