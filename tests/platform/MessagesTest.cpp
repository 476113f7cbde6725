// Named message ids and posting to a target.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Messages.h"

using namespace platform;

namespace {
struct RecordingTarget : MessageTarget {
    std::vector<std::tuple<UINT, WPARAM, LPARAM>> posted;
    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override {
        posted.emplace_back(message, wParam, lParam);
        return true;
    }
};
}  // namespace

TEST(RegisteredMessages, TheSameNameAlwaysGivesTheSameId) {
    const UINT first = RegisterWindowMessage("CSerialWnd_DefaultComMsg");
    const UINT other = RegisterWindowMessage("SomethingElse");
    EXPECT_GE(first, 0xC000u);
    EXPECT_NE(first, other);
    EXPECT_EQ(RegisterWindowMessage("CSerialWnd_DefaultComMsg"), first);
}

TEST(PostedMessages, ReachTheTargetWithTheirParameters) {
    RecordingTarget target;
    EXPECT_TRUE(PostMessage(&target, 0xC001, 0x00020001, 7));
    EXPECT_FALSE(PostMessage(nullptr, 0xC001, 1, 0));
    ASSERT_EQ(target.posted.size(), 1u);
    EXPECT_EQ(target.posted[0], std::make_tuple(UINT{0xC001}, WPARAM{0x00020001}, LPARAM{7}));
}
