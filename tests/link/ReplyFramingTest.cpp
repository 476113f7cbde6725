// Reply framing over a real port: a pseudo-terminal whose master side plays the device, the
// engine's port opened on its slave, the test thread acting as the worker.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "flash/FlashEngine.h"
#include "headless/HeadlessConsole.h"
#include "platform/Clock.h"
#include "sim/PseudoTerminal.h"

using namespace pellorin;

namespace {

class ReplyFraming : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(line.Ok());
        link().PortName = line.SlavePath();
        link().OpenPort(false);
        ASSERT_TRUE(link().Port.IsOpen());
    }
    DeviceLink& link() { return console.Link(); }
    ReplyChannel& channel() { return console.Link().Channel; }

    // The device answers the next command with these pieces, pausing (program ms) between them.
    std::thread Answer(std::vector<std::string> pieces, DWORD pauseMs = 30) {
        return std::thread([this, pieces, pauseMs] {
            const std::string command = line.ReadMaster(2000, 1);
            ASSERT_FALSE(command.empty());
            for (const auto& piece : pieces) {
                line.WriteMaster(piece);
                platform::Sleep(pauseMs);
            }
        });
    }

    platform::ScopedClockScale scale{10};
    sim::PseudoTerminal line;
    HeadlessConsole console;
};

}  // namespace

TEST_F(ReplyFraming, ALineInPiecesIsJoinedUpToItsCarriageReturn) {
    auto device = Answer({"ST", "3\r"});
    char reply[kReplyBufferSize] = {};
    EXPECT_EQ(channel().Transact(":st\r", reply), 3);
    EXPECT_STREQ(reply, "ST3");
    device.join();
}

TEST_F(ReplyFraming, TwoLinesInOneBatchEndAtTheLastCarriageReturn) {
    auto device = Answer({"A\rB\rC"});
    char reply[kReplyBufferSize] = {};
    EXPECT_EQ(channel().Transact("X\r", reply), 3);
    EXPECT_EQ(std::memcmp(reply, "A\rB\0C", 5), 0) << "the bytes after the last CR are dropped";
    device.join();
}

TEST_F(ReplyFraming, ALoneCarriageReturnIsNoReply) {
    auto device = Answer({"\r"});
    char reply[kReplyBufferSize] = {};
    EXPECT_EQ(channel().Transact("X\r", reply), 0);
    device.join();
}

TEST_F(ReplyFraming, AStreamWithoutCarriageReturnNeverOverrunsTheReplyBuffer) {
    // 700 bytes and no carriage return, whether they reach the worker in one batch or several.
    auto device = Answer({std::string(300, 'x'), std::string(300, 'y'), std::string(100, 'z')}, 5);
    // The caller's buffer with a guard band behind it.
    char buffer[kReplyBufferSize + 64];
    std::memset(buffer, 0, sizeof buffer);
    std::memset(buffer + kReplyBufferSize, 0x5A, 64);
    EXPECT_EQ(channel().Transact("X\r", buffer), 0);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(buffer[kReplyBufferSize + i], 0x5A) << "overrun";
    EXPECT_EQ(buffer[kReplyBufferSize - 1], 0) << "the reply stays terminated";
    device.join();
}

TEST_F(ReplyFraming, ASilentDeviceCostsTheFirstReplyWaitPlusTheReplyTimeout) {
    channel().ReplyTimeout = 2000;
    char reply[kReplyBufferSize] = {};
    const DWORD start = platform::GetTickCount();
    EXPECT_EQ(channel().Transact("SV\r", reply), 0);
    const DWORD elapsed = platform::GetTickCount() - start;
    EXPECT_GE(elapsed, 3000u);
    EXPECT_LT(elapsed, 6000u);
    EXPECT_EQ(line.ReadMaster(200), "SV\r") << "exactly the command's bytes, nothing added";
}

TEST_F(ReplyFraming, TransactExpectSendsTwiceThenGivesUp) {
    channel().ReplyTimeout = 500;
    std::thread device([this] {
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(line.ReadMaster(3000, 4).empty());
            line.WriteMaster("ST4_00ff\r");
        }
    });
    EXPECT_FALSE(channel().TransactExpect("SD_00FF\r", "ST4_00FF")) << "case-sensitive";
    device.join();
}

TEST_F(ReplyFraming, AStopRequestEndsAWaitAtOnce) {
    channel().ReplyTimeout = 60000;
    std::thread stopper([this] {
        platform::Sleep(200);
        link().Stop.Request();
        channel().WakeForStop();
    });
    char reply[kReplyBufferSize] = {};
    const DWORD start = platform::GetTickCount();
    EXPECT_EQ(channel().Transact("SV\r", reply), 0);
    EXPECT_LT(platform::GetTickCount() - start, 30000u);
    stopper.join();
}
