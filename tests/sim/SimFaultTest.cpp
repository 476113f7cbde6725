// Each fault option of the simulator doing what it says, over a real pseudo-terminal.
#include <cstdio>

#include "tests/sim/SimFixture.h"

using namespace simtest;

namespace {

std::string Block(int number, const std::string& record) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "SD_%04d", number);
    return prefix + record + "\r";
}

}  // namespace

TEST_F(SimTest, SilentFirstLinesAreNotHeard) {
    sim::Options options;
    options.faults.silentFirstLines = 1;
    Start(options);
    EXPECT_EQ(Exchange("^S008BAUD192\r"), "");
    EXPECT_EQ(Exchange("^S008BAUD192\r"), "^D006ACK\r");
    EXPECT_EQ(m_sim->Transcript()[0].note, "silent: one of the first 1 lines");
}

TEST_F(SimTest, NeverAnsweredCommandsAreNotHeard) {
    sim::Options options = Fast();
    options.faults.neverAnswer = {"SUM", ":efh"};
    Start(options);
    ASSERT_EQ(Exchange(":dsp001\r"), "ST1_0000\r");
    EXPECT_EQ(Exchange(":efh\r"), "");
    EXPECT_EQ(Exchange("SUM\r"), "");
    EXPECT_EQ(Exchange(":dsp\r"), "ST1_0000\r") << "the erase did not start";
}

TEST_F(SimTest, RefusedAndMisacknowledgedBlocks) {
    const auto image = Image(3);
    sim::Options options = Fast();
    options.faults.refuseBlock = 2;
    options.faults.misAckBlock = 1;
    options.faults.misAckReply = "ST4_0009";
    Start(options);
    EnterAndErase(":dsp001");
    EXPECT_EQ(Exchange(Block(1, image[0])), "ST4_0009\r");
    EXPECT_EQ(Exchange(Block(2, image[1])), "");
    EXPECT_EQ(Exchange(Block(2, image[1])), "") << "refused every time";
    EXPECT_EQ(m_sim->GetSummary().blocksStored, 1);
}

TEST_F(SimTest, LowerCaseHexAcknowledgement) {
    const auto image = Image(10);
    sim::Options options = Fast();
    options.faults.lowerCaseHexAck = true;
    Start(options);
    EnterAndErase(":mcu");
    std::string last;
    for (int block = 1; block <= 10; ++block) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "SD_%04X", block);
        last = Exchange(prefix + image[block - 1] + "\r");
    }
    EXPECT_EQ(last, "ST4_000a\r");
}

TEST_F(SimTest, WrongChecksumOnceThenRight) {
    sim::Options options = Fast();
    options.faults.wrongChecksumTimes = 1;
    Start(options);
    ASSERT_EQ(Exchange(":mcu\r"), "ST1_0000\r");
    EXPECT_EQ(Exchange("SUM\r"), "SUM0001\r") << "the empty flash sums to 0; the fault adds 1";
    EXPECT_EQ(Exchange("SUM\r"), "SUM0000\r");
}

TEST_F(SimTest, WrongChecksumAlwaysAndASumReplyThatIsNoChecksum) {
    sim::Options options = Fast();
    options.faults.wrongChecksumTimes = -1;
    Start(options);
    ASSERT_EQ(Exchange(":mcu\r"), "ST1_0000\r");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Exchange("SUM\r"), "SUM0001\r");

    options.faults.sumReplyOverride = "ST3";
    Start(options);
    ASSERT_EQ(Exchange(":mcu\r"), "ST1_0000\r");
    EXPECT_EQ(Exchange("SUM\r"), "ST3\r");
}

TEST_F(SimTest, FragmentedReplyArrivesInPiecesWithPauses) {
    sim::Options options;
    options.faults.fragmentPauseMs = {2000, 2000};  // 100 real ms each at scale 20
    Start(options);
    m_client->Send(":dsp001\r");
    const std::string first = m_client->ReadBytes(1);
    EXPECT_EQ(first, "ST1") << "the first of three pieces alone";
    const std::string rest = m_client->ReadLines(1);
    EXPECT_EQ(first + rest, "ST1_0000\r");
    ASSERT_TRUE(m_sim->WaitForLines(1, 10000));
    EXPECT_EQ(m_sim->Transcript()[0].reply, "ST1_0000\r");
}

TEST_F(SimTest, Garbage600AnswersTheFirstLineWithoutCR) {
    sim::Options options;
    options.faults.garbage600 = true;
    Start(options);
    m_client->Send("^S008BAUD192\r");
    const std::string garbage = m_client->ReadBytes(600);
    EXPECT_EQ(garbage.size(), 600u);
    EXPECT_EQ(garbage.find('\r'), std::string::npos);
    m_client->SetLine(B2400, 1);
    EXPECT_EQ(Exchange("^S008BAUD192\r"), "^D006ACK\r") << "the next line is answered as usual";
}

TEST_F(SimTest, NoiseFollowsEveryReply) {
    sim::Options options;
    options.faults.noiseBetweenReplies = true;
    Start(options);
    const std::string reply = Exchange(":dsp001\r");
    ASSERT_GT(reply.size(), 9u);
    EXPECT_EQ(reply.substr(0, 9), "ST1_0000\r");
    EXPECT_EQ(reply.find('\r', 9), std::string::npos) << "noise carries no CR";
}

TEST_F(SimTest, StopsAnsweringAfterBlock) {
    const auto image = Image(3);
    sim::Options options = Fast();
    options.faults.stopAfterBlock = 2;
    Start(options);
    EnterAndErase(":dsp001");
    EXPECT_EQ(Exchange(Block(1, image[0])), "ST4_0001\r");
    EXPECT_EQ(Exchange(Block(2, image[1])), "ST4_0002\r");
    EXPECT_EQ(Exchange(Block(3, image[2])), "");
    EXPECT_EQ(Exchange(":dsp\r"), "");
    EXPECT_EQ(m_sim->GetSummary().blocksStored, 2);
}

TEST_F(SimTest, HangsUpAfterBlockLikeAPulledAdapter) {
    const auto image = Image(3);
    sim::Options options = Fast();
    options.faults.hangUpAfterBlock = 1;
    Start(options);
    EnterAndErase(":dsp001");
    m_client->Send(Block(1, image[0]));
    EXPECT_EQ(m_client->ReadLines(1), "ST4_0001\r") << "the acknowledgement still gets through";
    EXPECT_TRUE(m_client->HungUp());
    ASSERT_TRUE(m_sim->WaitForLines(++m_handled, 10000));
    EXPECT_TRUE(m_sim->GetSummary().hungUp);
    EXPECT_EQ(m_sim->GetSummary().blocksStored, 1);
}

TEST_F(SimTest, SpeedAcknowledgementFaults) {
    sim::Options options;
    options.faults.ackOverride = "^D006AC";
    Start(options);
    EXPECT_EQ(Exchange("^S008BAUD192\r"), "^D006AC\r");
    EXPECT_EQ(m_sim->GetSummary().negotiatedBaud, 0u) << "not an acknowledgement: no new speed";

    options.faults = {};
    options.faults.ackOnAttempt = 2;
    Start(options);
    EXPECT_EQ(Exchange("^S008BAUD096\r"), "");
    EXPECT_EQ(Exchange("^S008BAUD096\r"), "^D006ACK\r");
    EXPECT_EQ(m_sim->GetSummary().negotiatedBaud, 9600u);

    options.faults.ackOnAttempt = 0;
    Start(options);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Exchange("^S008BAUD192\r"), "");
    m_client->SetLine(B19200, 1);
    EXPECT_EQ(Exchange(":dsp001\r"), "") << "the device still listens at 2400";
}

TEST_F(SimTest, StateReplyOverrideIsSentVerbatim) {
    sim::Options options;
    options.stateReplyOverride = "ST3";
    Start(options);
    EXPECT_EQ(Exchange(":dsp001\r"), "ST3\r");
    EXPECT_EQ(Exchange(":mcu\r"), "ST3\r");
}
