// Which bytes are a command's reply, whatever order the system reports things in: a port whose
// driver holds scripted bytes and whose write completes only when the test says so, the test
// thread playing the window thread (OnSerialMessage) and the worker. Runs on every system.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "link/ReplyChannel.h"
#include "platform/Clock.h"
#include "tests/support/ScriptedPort.h"

using namespace pellorin;
using testing_support::ScriptedPort;

namespace {

class ReplyTakeIn : public ::testing::Test {
  protected:
    // The device's bytes reach the driver and the listener's notification is handled.
    void Arrive(const std::string& bytes) {
        port.queue += bytes;
        (void)channel.OnSerialMessage(EV_RXCHAR, 0);
    }
    std::string Reply(DWORD timeoutMs = 200) {
        char reply[kReplyBufferSize] = {};
        const int length = channel.WaitReply(reply, timeoutMs);
        return std::string(reply, static_cast<std::size_t>(length));
    }

    platform::ScopedClockScale scale{20};
    ScriptedPort port;
    platform::StopSignal stop;
    ReplyChannel channel{port, stop};
};

}  // namespace

TEST_F(ReplyTakeIn, ANotificationThatFindsNoBytesDoesNotEndTheWaitForTheFirstReply) {
    // Under Wine the notification of bytes an earlier one already took in can come after the
    // next command was sent; it must not pass for that command's reply.
    std::thread lateNotification([this] {
        (void)port.written.Wait(INFINITE);
        (void)channel.OnSerialMessage(EV_RXCHAR, 0);
    });
    const DWORD start = platform::GetTickCount();
    EXPECT_FALSE(channel.SendCommand(":efh\r", 5, 1000));
    EXPECT_GE(platform::GetTickCount() - start, 1000u) << "the first-reply wait ran its length";
    lateNotification.join();
}

TEST_F(ReplyTakeIn, AReplyTakenInBeforeTheWriteIsSignalledCompleteIsKept) {
    // The acknowledgement arrives in two pieces and noise follows it, all before the system has
    // signalled the write as complete.
    ASSERT_FALSE(channel.SendCommand("SD_0222:10...\r", 14, 0));
    Arrive("ST4_02");
    Arrive("22\r");
    Arrive("~\x7f#");
    port.Complete(channel);
    EXPECT_EQ(Reply(), "ST4_0222");
}

TEST_F(ReplyTakeIn, BytesThatArrivedBeforeTheWriteAreStaleAndNoiseAfterItStaysInFront) {
    // The tail of the last exchange is no reply to the next command, whether it was taken in
    // already or the port still holds it (its notification not yet handled).
    Arrive("ST4_0221\r");
    port.queue += "~\x7f#";
    ASSERT_FALSE(channel.SendCommand("SD_0222:10...\r", 14, 0));
    port.Complete(channel);
    Arrive("ST4_0222\r");
    EXPECT_EQ(Reply(), "ST4_0222");

    // Noise that comes once the write has begun is part of what the device answered, as it is
    // when the completion is signalled at once: the reply then does not begin as expected.
    ASSERT_FALSE(channel.SendCommand("SD_0223:10...\r", 14, 0));
    Arrive("~\x7f#");
    port.Complete(channel);
    Arrive("ST4_0223\r");
    EXPECT_EQ(Reply(), "~\x7f#ST4_0223");
}
