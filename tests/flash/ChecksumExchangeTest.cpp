// The checksum exchange with the device ("SUM"), the device played on a pseudo-terminal's master.
#include <gtest/gtest.h>

#include <thread>

#include "flash/UpdateEngine.h"
#include "headless/HeadlessConsole.h"
#include "platform/Clock.h"
#include "sim/PseudoTerminal.h"

using namespace pellorin;

namespace {

class ChecksumExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(line.Ok());
        console.Link().PortName = line.SlavePath();
        console.Link().OpenPort(false);
        ASSERT_TRUE(console.Link().Port.IsOpen());
        console.Link().Channel.ReplyTimeout = 2000;
    }
    void TearDown() override {
        if (device.joinable()) device.join();
    }
    // The device answers each "SUM" with the next of `replies` ("" = silence) and counts them.
    void Answer(std::vector<std::string> replies) {
        device = std::thread([this, replies] {
            for (const std::string& reply : replies) {
                if (line.ReadMaster(3000, 4) != "SUM\r") return;
                ++exchanges;
                if (!reply.empty()) line.WriteMaster(reply + "\r");
            }
        });
    }
    bool Verify(int expected) { return console.Engine().Flash.VerifyChecksum(expected); }

    platform::ScopedClockScale scale{20};
    sim::PseudoTerminal line;
    HeadlessConsole console;
    std::thread device;
    std::atomic<int> exchanges{0};
};

}  // namespace

TEST_F(ChecksumExchange, AMatchingSumVerifiesAtOnce) {
    Answer({"SUM68AC"});
    EXPECT_TRUE(Verify(0x68AC));
    device.join();
    EXPECT_EQ(exchanges, 1);
}

TEST_F(ChecksumExchange, LowerCaseDigitsMatchTheSameValue) {
    Answer({"SUM68ac"});
    EXPECT_TRUE(Verify(0x68AC));
}

TEST_F(ChecksumExchange, AWrongSumThenTheRightOneVerifiesAtTheSecondExchange) {
    Answer({"SUM0001", "SUM68AC"});
    EXPECT_TRUE(Verify(0x68AC));
    device.join();
    EXPECT_EQ(exchanges, 2);
}

TEST_F(ChecksumExchange, ADeviceThatNeverSendsAChecksumReplyIsLetThroughUnchecked) {
    Answer(std::vector<std::string>(8, "ST3"));
    EXPECT_EQ(console.Engine().Flash.CheckSumWithDevice(0x68AC), FlashEngine::SumCheck::NotChecked);
    device.join();
    EXPECT_EQ(exchanges, 8);
}

TEST_F(ChecksumExchange, OneWrongChecksumReplyAndThenOtherLinesFail) {
    std::vector<std::string> replies(8, "ST3");
    replies[0] = "SUM0001";
    Answer(replies);
    EXPECT_FALSE(Verify(0x68AC));
}

TEST_F(ChecksumExchange, AShortSumLineIsNotAChecksumReply) {
    Answer(std::vector<std::string>(8, "SUM68A"));
    EXPECT_TRUE(Verify(0x68AC));
}

TEST_F(ChecksumExchange, ASilentDeviceFailsAfterEightExchanges) {
    Answer(std::vector<std::string>(8, ""));
    EXPECT_FALSE(Verify(0x68AC));
    device.join();
    EXPECT_EQ(exchanges, 8);
}
