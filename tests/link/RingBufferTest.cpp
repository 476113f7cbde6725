// The receive ring buffer: order, wrap-around, and what a flood keeps.
#include <gtest/gtest.h>

#include <string>

#include "link/RingBuffer.h"

using pellorin::RingBuffer;

namespace {
std::string TakeAll(RingBuffer& buffer, std::size_t capacity = RingBuffer::kSize - 1) {
    std::string taken(RingBuffer::kSize, '\0');
    taken.resize(buffer.TakeAll(taken.data(), capacity));
    return taken;
}
}  // namespace

TEST(RingBuffer, HandsOverBytesInOrderAcrossTheWrap) {
    RingBuffer buffer;
    const std::string first(500, 'a');
    buffer.Append(first.data(), first.size());
    EXPECT_EQ(TakeAll(buffer), first);
    buffer.Append("ST3_0120\r", 9);  // crosses the end of the storage
    EXPECT_EQ(TakeAll(buffer), "ST3_0120\r");
    EXPECT_EQ(TakeAll(buffer), "");
}

TEST(RingBuffer, AFloodKeepsTheNewest511Bytes) {
    RingBuffer buffer;
    std::string flood;
    for (int i = 0; i < 600; ++i) flood += static_cast<char>('A' + i % 26);
    buffer.Append(flood.data(), flood.size());
    EXPECT_EQ(buffer.Unread(), 511u);
    EXPECT_EQ(TakeAll(buffer), flood.substr(600 - 511));
}

TEST(RingBuffer, TakeStopsAtTheCallersCapacityAndClearEmpties) {
    RingBuffer buffer;
    buffer.Append("abcdef", 6);
    EXPECT_EQ(TakeAll(buffer, 4), "abcd");
    EXPECT_EQ(TakeAll(buffer), "ef");
    buffer.Append("xyz", 3);
    buffer.Clear();
    EXPECT_EQ(buffer.Unread(), 0u);
}
