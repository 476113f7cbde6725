// The window's tick arithmetic: time texts, speed, estimate, and the end of a run.
#include <gtest/gtest.h>

#include "console/ProgressDisplay.h"

using namespace pellorin;

namespace {
class Ticks : public ::testing::Test {
  protected:
    // A programming tick `seconds` after programming began (the clock close to its wrap).
    bool TickAt(std::uint32_t seconds) {
        return display.OnProgramTick(kStart + seconds * 1000u + 400u);
    }
    static constexpr std::uint32_t kStart = 0xFFFFF000u;
    FlashCounters counters;
    ProgressDisplay display{counters};

    void SetUp() override {
        counters.FlashStartTime = kStart;
        counters.FlashPhase = kPhaseProgramming;
    }
};
}  // namespace

TEST(TimeText, IsMinutesAndSecondsAndHoursFromOneHourOn) {
    EXPECT_EQ(FormatTimeText(125), "02:05");
    EXPECT_EQ(FormatTimeText(59), "00:59");
    EXPECT_EQ(FormatTimeText(3599), "59:59");
    EXPECT_EQ(FormatTimeText(3600), "1:00:00");
    EXPECT_EQ(FormatTimeText(290 * 60 + 28), "4:50:28");
}

TEST_F(Ticks, ElapsedTimeAcrossTheClockWrap) {
    TickAt(125);
    EXPECT_EQ(display.ElapsedText(), "02:05");
    TickAt(3900);
    EXPECT_EQ(display.ElapsedText(), "1:05:00");
}

TEST_F(Ticks, SpeedAndEstimateFromTheBlocksWritten) {
    counters.TotalBlocks = 1200;
    counters.WrittenBlocks = 300;
    TickAt(60);
    EXPECT_EQ(display.SpeedText(), "5 Blocks/Sec");
    EXPECT_EQ(display.RemainText(), "03:00");
}

TEST_F(Ticks, TheEstimateKeepsWholeHours) {
    counters.TotalBlocks = 3900 * 2 + 20;
    counters.WrittenBlocks = 20;
    TickAt(10);  // 2 blocks a second, 3900 s left
    EXPECT_EQ(display.RemainText(), "1:05:00");
}

TEST_F(Ticks, AfterAResumeOnlyTheBlocksSentInThisRunCount) {
    // Resumed after block 986 of 15000: 14 s in, 700 blocks sent, 50 a second.
    counters.TotalBlocks = 15000;
    counters.ResumedFrom = 986;
    counters.WrittenBlocks = 0;
    TickAt(3);
    EXPECT_EQ(display.SpeedText(), "0 Blocks/Sec") << "no block of this run yet";
    counters.WrittenBlocks = 986 + 700;
    TickAt(14);
    EXPECT_EQ(display.SpeedText(), "50 Blocks/Sec");
    EXPECT_EQ(display.RemainText(), "04:26") << "(15000 - 1686) / 50 s";
}

TEST_F(Ticks, NoSpeedBeforeTwoSecondsAndNoEstimatePastTheTotal) {
    counters.TotalBlocks = 100;
    counters.WrittenBlocks = 50;
    TickAt(1);
    EXPECT_EQ(display.SpeedText(), "0 Blocks/Sec");
    EXPECT_EQ(display.RemainText(), "00:00");
    TickAt(10);
    EXPECT_EQ(display.RemainText(), "00:10");
    counters.WrittenBlocks = 300;  // the file grew since it was counted
    TickAt(20);
    EXPECT_EQ(display.SpeedText(), "15 Blocks/Sec");
    EXPECT_EQ(display.RemainText(), "00:10") << "the estimate keeps its text";
}

TEST_F(Ticks, SpeedsAbove255AreShownAsTheyAre) {
    counters.TotalBlocks = 100000;
    counters.WrittenBlocks = 3000;
    TickAt(10);
    EXPECT_EQ(display.SpeedText(), "300 Blocks/Sec");
}

TEST_F(Ticks, TheEndSoundPlaysOnceAndAFailurePlaysNothing) {
    counters.FlashPhase = kPhaseFinished;
    EXPECT_TRUE(TickAt(5));
    EXPECT_EQ(counters.FlashPhase, kPhaseIdle);
    EXPECT_FALSE(TickAt(6)) << "once per update";
    counters.FlashPhase = kPhaseFailed;
    EXPECT_FALSE(TickAt(7));
    EXPECT_EQ(counters.FlashPhase, kPhaseIdle);
}

TEST(EraseTicks, FillTheBarOnePercentATickAndStopAt100) {
    FlashCounters counters;
    ProgressDisplay display(counters);
    int position = 0;
    for (int tick = 0; tick < 150; ++tick) position = display.OnEraseTick();
    EXPECT_EQ(position, 100);
    EXPECT_EQ(display.PercentText(), "100%");
}

TEST_F(Ticks, ARunThatFinishedBetweenTwoTicksStillSoundsWhenTheClockStops) {
    counters.FlashPhase = kPhaseFinished;
    EXPECT_TRUE(display.OnProgramTimerStopped());
    EXPECT_EQ(counters.FlashPhase.load(), kPhaseIdle);
    EXPECT_FALSE(TickAt(3)) << "one sound a run";
    counters.FlashPhase = kPhaseFailed;
    EXPECT_FALSE(display.OnProgramTimerStopped());
}
