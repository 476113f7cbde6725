// The DSP update end to end against the simulated inverter, on the bytes it received.
#include "tests/support/SimulatedLine.h"

using namespace pellorin;
using testing_support::CountPrefix;
using testing_support::MakeHexImage;
using testing_support::SimulatedLine;

namespace {
using Lines = std::vector<std::string>;

// "<prefix><decimal>ms", as the case-time lines read.
bool IsTimeLine(const std::string& line, const std::string& prefix) {
    if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 3) return false;
    if (line.compare(line.size() - 2, 2, "ms") != 0) return false;
    const std::string digits = line.substr(prefix.size(), line.size() - prefix.size() - 2);
    return digits.find_first_not_of("0123456789") == std::string::npos;
}

class DspUpdate : public SimulatedLine {
  protected:
    // 40 data records with the 7FFE record after the 30th, and the end-of-file record.
    void WriteImage(int records = 40, int sentinelAfter = 30) {
        folder.Write("dsp.hex", MakeHexImage(records, 16, sentinelAfter));
    }
    sim::Options Options() {
        sim::Options options;
        options.expectImage = folder.File("dsp.hex");
        options.eraseTimeMs = 3000;
        return options;
    }
    Lines Sent() const { return device->ReceivedLines(); }
};

}  // namespace

TEST_F(DspUpdate, AFreshUpdateStoresTheImageAndLogsEveryStage) {
    WriteImage();
    Start(Options());
    RunJob(kJobDspUpdate);

    const auto summary = device->GetSummary();
    EXPECT_TRUE(summary.imageMatches);
    EXPECT_TRUE(summary.violations.empty());
    const Lines log = Log();
    const std::string path = folder.File("dsp.hex");
    ASSERT_EQ(log.size(), 12u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[0], "COM1 was opened!");
    EXPECT_EQ(log[1], "Connecting..........");
    EXPECT_EQ(log[2], path);
    EXPECT_EQ(log[3], "Total blocks:42");
    EXPECT_EQ(log[4], "Ereasing flash.............");
    EXPECT_EQ(log[5], "Ereased flash ok!");
    EXPECT_TRUE(IsTimeLine(log[6], "Erase case time:")) << log[6];
    EXPECT_EQ(log[7], "Program flash..........");
    EXPECT_EQ(log[8], "Verify flash data...............");
    EXPECT_EQ(log[9], "Verify flash data ok!");
    EXPECT_TRUE(IsTimeLine(log[10], "Reflash  case time:")) << log[10];
    EXPECT_EQ(log[11], "Com was closed");

    const Lines sent = Sent();
    EXPECT_EQ(sent[1], ":dsp001");
    EXPECT_EQ(sent[2], ":efh");
    EXPECT_EQ(sent[3].substr(0, 3), ":st");
    EXPECT_EQ(CountPrefix(sent, "SD_"), 42);
    EXPECT_EQ(sent.back(), "SV");
    EXPECT_EQ(console->ProgressPos(), 42);
    EXPECT_EQ(console->WrittenBlocksText(), "42");
    EXPECT_EQ(console->PercentText(), "100%");
    EXPECT_EQ(console->EndSounds(), 1);
    EXPECT_FALSE(console->TimerRunning(kEraseTimer));
    EXPECT_FALSE(console->TimerRunning(kProgramTimer));
}

TEST_F(DspUpdate, TheSentinelRecordGoesOutOnlyAfterTheSumsAgreed) {
    WriteImage(40, 30);
    Start(Options());
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    const auto sum = std::find(sent.begin(), sent.end(), "SUM");
    ASSERT_NE(sum, sent.end());
    ASSERT_NE(sum + 1, sent.end());
    EXPECT_EQ((sum + 1)->substr(0, 14), "SD_0031:027FFE") << "block 31 is the 7FFE record";
    EXPECT_EQ((sum - 1)->substr(0, 8), "SD_0030:") << "the sum is asked right after block 30";
}

TEST_F(DspUpdate, BlocksAreNumberedInDecimalWithAtLeastFourDigits) {
    folder.Write("dsp.hex", MakeHexImage(10005, 4, 10));
    sim::Options options = Options();
    options.dspState = 3;
    options.dspBlock = 9998;
    options.dspHolds = folder.File("dsp.hex");
    Start(options);
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(CountPrefix(sent, "SD_"), 9) << "blocks 9999 to 10007";
    EXPECT_EQ(CountPrefix(sent, "SD_9999:"), 1);
    EXPECT_EQ(CountPrefix(sent, "SD_10000:"), 1);
    EXPECT_EQ(CountPrefix(sent, ":efh"), 0) << "state 3: no erase";
    EXPECT_EQ(console->Counters.ResumedFrom, 9998u);
    EXPECT_EQ(console->Link().Verified.load(), Verification::Confirmed);
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(DspUpdate, AYsjLineBeforeTheStateLineIsSkipped) {
    // With a gap the state line comes as a line of its own; without one both lines usually come
    // in one batch, and the state line must not be lost with the bytes behind the first line.
    for (std::uint32_t gapMs : {100u, 0u}) {
        SCOPED_TRACE(gapMs);
        WriteImage();
        sim::Options options = Options();
        options.ysjLine = true;
        options.ysjGapMs = gapMs;
        Start(options);
        RunJob(kJobDspUpdate);
        EXPECT_TRUE(device->GetSummary().imageMatches);
        EXPECT_EQ(CountPrefix(Sent(), ":dsp"), 1);
        console.reset();
        device.reset();
    }
}

TEST_F(DspUpdate, StateThreeWithBlockZeroProgramsWithoutErasing) {
    WriteImage();
    sim::Options options = Options();
    options.dspState = 3;
    options.dspBlock = 0;
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_EQ(CountPrefix(Sent(), ":efh"), 0);
    EXPECT_FALSE(Logged("Ereasing flash............."));
    EXPECT_TRUE(Logged("Ereased flash ok!"));
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 42);
    EXPECT_TRUE(Logged("Verify flash data ok!"));
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(DspUpdate, AfterAnEraseEveryBlockIsSentWhateverBlockTheStateReplyNamed) {
    // Only a device ready for blocks (state 3) names a resume point: one that needs an erase
    // (ST1) or is erasing (ST2, with a number left from an earlier run) gets every block.
    for (const char* reply : {"ST1_0020", "ST2_0150"}) {
        SCOPED_TRACE(reply);
        WriteImage();
        sim::Options options = Options();
        options.stateReplyOverride = reply;
        options.dspState = reply[2] - '0';
        Start(options);
        RunJob(kJobDspUpdate);
        EXPECT_EQ(CountPrefix(Sent(), "SD_0001:"), 1);
        EXPECT_EQ(CountPrefix(Sent(), "SD_"), 42);
        EXPECT_TRUE(Logged("Verify flash data ok!"));
        EXPECT_TRUE(device->GetSummary().imageMatches);
        console.reset();
        device.reset();
    }
}

TEST_F(DspUpdate, AnInterruptedUpdateResumesInTheNextRunAndCompletesTheImage) {
    WriteImage(40, 30);
    sim::Options options = Options();
    options.stateFile = folder.File("flash.state");
    options.faults.stopAfterBlock = 20;
    Start(options);
    RunJob(kJobDspUpdate);
    ASSERT_TRUE(Logged("Write fail!"));
    console.reset();
    device.reset();

    options.faults = {};
    Start(options);  // the same device, its flash kept in the state file
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(CountPrefix(sent, ":efh"), 0) << "state 3: no erase";
    EXPECT_EQ(CountPrefix(sent, "SD_0020:"), 0);
    EXPECT_EQ(CountPrefix(sent, "SD_0021:"), 1);
    EXPECT_TRUE(Logged("The device holds blocks 1 to 20 of dsp.hex: resuming at block 21"));
    EXPECT_TRUE(Logged("Verify flash data ok!")) << "the sum covers the blocks of both runs";
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(DspUpdate, ADeviceHoldingTheHeadOfAnotherImageGetsThisImageInOneJob) {
    // An earlier update of another image stopped after line 120; this image is verified at line
    // 250. The blocks it holds are not this image's: erased, then the whole image, verified.
    folder.Write("old.hex", MakeHexImage(301, 16, 249, 2));
    WriteImage(301, 249);
    sim::Options options = Options();
    options.dspState = 3;
    options.dspBlock = 120;
    options.dspHolds = folder.File("old.hex");
    options.stateFile = folder.File("flash.state");
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_TRUE(Logged(
        "The device holds blocks of another image: erasing it and writing dsp.hex from block 1"));
    EXPECT_EQ(CountPrefix(Sent(), ":efh"), 1);
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 303);
    EXPECT_TRUE(Logged("Verify flash data ok!"));
    EXPECT_TRUE(device->GetSummary().imageMatches);
    EXPECT_EQ(console->Link().Verified.load(), Verification::Confirmed);
    EXPECT_EQ(console->EndSounds(), 1);

    // A second job finds the device as the first one left it: it is updated again, not stuck.
    console.reset();
    device.reset();
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_TRUE(Logged("Verify flash data ok!"));
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(DspUpdate, NoiseAndFragmentedRepliesStillGiveACompleteImage) {
    WriteImage();
    sim::Options options = Options();
    options.faults.noiseBetweenReplies = true;
    options.faults.fragmentPauseMs = {5, 5};
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_TRUE(device->GetSummary().imageMatches);
    EXPECT_TRUE(Logged("Verify flash data ok!")) << ::testing::PrintToString(Log());
}

TEST_F(DspUpdate, AResumePastTheSentinelIsCheckedByTheSumThenSendsTheRest) {
    WriteImage(40, 30);
    sim::Options options = Options();
    options.dspState = 3;
    options.dspBlock = 35;
    options.dspHolds = folder.File("dsp.hex");
    Start(options);
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(sent[2], "SUM") << "asked before the first block";
    EXPECT_EQ(CountPrefix(sent, "SUM"), 1) << "the verification point lies behind";
    EXPECT_EQ(CountPrefix(sent, "SD_"), 7);
    EXPECT_EQ(CountPrefix(sent, "SD_0036"), 1);
    EXPECT_EQ(sent.back(), "SV");
    EXPECT_EQ(console->Counters.WrittenBlocks, 42u);
    EXPECT_EQ(console->Counters.ResumedFrom, 35u);
    EXPECT_EQ(console->Link().Verified.load(), Verification::Confirmed);
    EXPECT_TRUE(device->GetSummary().imageMatches);
}

TEST_F(DspUpdate, AnImageWithoutSentinelIsRefusedBeforeTheDeviceIsEntered) {
    // The DSP would never be asked for its sum: a damaged transfer would read as a success.
    folder.Write("dsp.hex", MakeHexImage(20));
    Start(Options());
    RunJob(kJobDspUpdate);
    EXPECT_EQ(Sent(), (Lines{"^S008BAUD192", "SV"}));
    const Lines log = Log();
    ASSERT_EQ(log.size(), 6u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[3], "Total blocks:21");
    EXPECT_EQ(log[4],
              "dsp.hex: no verification record (address 7FFE): the DSP would never be asked for "
              "its sum");
    EXPECT_EQ(log[5], "Com was closed");
    EXPECT_EQ(console->Link().Outcome.load(), JobOutcome::ImageRefused);
}

TEST_F(DspUpdate, AWrongChecksumStopsBeforeTheSentinelAndLeavesQuickly) {
    WriteImage(40, 30);
    sim::Options options = Options();
    options.faults.wrongChecksumTimes = -1;
    Start(options);
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(CountPrefix(sent, "SUM"), 8);
    EXPECT_EQ(CountPrefix(sent, "SD_0031"), 0) << "the 7FFE record is never sent";
    EXPECT_EQ(sent.back(), "SV");
    EXPECT_TRUE(Logged("Verify flash data fail!"));
    EXPECT_FALSE(Logged("Verify flash data ok!"));
    EXPECT_EQ(console->Link().Channel.ReplyTimeout, 1000);
    EXPECT_EQ(console->EndSounds(), 0);
}

TEST_F(DspUpdate, ARefusedBlockEndsTheRunWithWriteFail) {
    WriteImage();
    sim::Options options = Options();
    options.faults.refuseBlock = 5;
    Start(options);
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    EXPECT_EQ(CountPrefix(sent, "SD_0005"), 2) << "two sends";
    EXPECT_TRUE(sent.back().rfind("SD_0005", 0) == 0) << "nothing more is sent";
    EXPECT_EQ(Log()[Log().size() - 2], "Write fail!");
    EXPECT_TRUE(console->WaitForJobEnd(0));
    EXPECT_EQ(console->Counters.WrittenBlocks, 4u);
    for (int i = 0; i < 100 && !console->PhaseSeen(kPhaseFailed); ++i) platform::Sleep(100);
    EXPECT_TRUE(console->PhaseSeen(kPhaseFailed));
}

TEST_F(DspUpdate, ASilentDeviceEndsWithConnectFailAfterSixPasses) {
    WriteImage();
    sim::Options options = Options();
    options.faults.neverAnswer = {":dsp"};
    Start(options);
    RunJob(kJobDspUpdate);
    const Lines sent = Sent();
    // First pass: the first form twice, then the second form twice; later passes the second form.
    ASSERT_EQ(sent.size(), 1u + 2 + 2 + 5 * 4);
    EXPECT_EQ(sent[1], ":dsp001");
    EXPECT_EQ(sent[2], ":dsp001");
    for (std::size_t i = 3; i < sent.size(); ++i) EXPECT_EQ(sent[i], ":dsp");
    EXPECT_EQ(Log()[Log().size() - 2], "connect fail");
    EXPECT_FALSE(console->TimerRunning(kEraseTimer));
}

TEST_F(DspUpdate, AnEraseThatNeverFinishesStopsItsPacingTimer) {
    WriteImage();
    sim::Options options = Options();
    options.eraseTimeMs = 10000000;
    options.stBeforeErased = sim::Options::BeforeErased::AnswerSt2;
    Start(options);
    RunJob(kJobDspUpdate);
    EXPECT_TRUE(Logged("Ereasing flash............."));
    EXPECT_TRUE(Logged("connect fail"));
    EXPECT_FALSE(console->TimerRunning(kEraseTimer));
}

TEST_F(DspUpdate, AnImageThatVanishesBeforeProgrammingEndsTheRunAndSaysSo) {
    WriteImage();
    sim::Options options = Options();
    options.eraseTimeMs = 20000;
    Start(options);
    ASSERT_TRUE(console->PressJobButton(kJobDspUpdate, "COM1"));
    ASSERT_TRUE(device->WaitForLines(3, 60000));  // speed, entry, erase
    std::remove(folder.File("dsp.hex").c_str());
    ASSERT_TRUE(console->WaitForJobEnd(600000));
    const Lines log = Log();
    EXPECT_EQ(log[log.size() - 3], "Program flash..........");
    EXPECT_EQ(log[log.size() - 2], "Open image file fail!");
    EXPECT_EQ(CountPrefix(Sent(), "SD_"), 0);
    for (int i = 0; i < 100 && !console->PhaseSeen(kPhaseFailed); ++i) platform::Sleep(100);
    EXPECT_TRUE(console->PhaseSeen(kPhaseFailed));
}

TEST_F(DspUpdate, AHangUpMidwayEndsWithinASecondSayingThePortWasDisconnected) {
    // A slower clock than the rig's, so that the bound below is not a matter of scheduling.
    platform::SetClockScale(4);
    WriteImage();
    sim::Options options = Options();
    options.eraseTimeMs = 300;
    options.faults.hangUpAfterBlock = 10;
    Start(options);
    RunJob(kJobDspUpdate, 120000);
    const Lines log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{"COM1 was disconnected!", "Write fail!", "Com was closed"}));
    const auto ticks = console->LogTicksOldestFirst();
    EXPECT_LT(ticks.back() - ticks[ticks.size() - 3], 1000u)
        << "no reply wait and no settling pause after the device has gone";
    EXPECT_EQ(console->Counters.WrittenBlocks, 10u);
    EXPECT_FALSE(console->Link().Port.IsOpen());
    for (int i = 0; i < 100 && !console->PhaseSeen(kPhaseFailed); ++i) platform::Sleep(100);
    EXPECT_TRUE(console->PhaseSeen(kPhaseFailed));
}
