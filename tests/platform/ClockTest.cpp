// The program clock: wrapping tick counts, and pauses and waits that keep their proportion under a
// scaled clock.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/Clock.h"

using namespace platform;

TEST(ProgramClock, DifferencesGiveElapsedTimeAcrossTheWrap) {
    SetTickCountForTest(0xFFFFFFFFu - 5);
    const DWORD before = platform::GetTickCount();
    platform::Sleep(20);
    const DWORD after = platform::timeGetTime();
    EXPECT_LT(after, before) << "the count wrapped";
    EXPECT_GE(static_cast<DWORD>(after - before), 20u);
    EXPECT_LT(static_cast<DWORD>(after - before), 5000u);
}

TEST(ProgramClock, ScaledPausesKeepTheirProportion) {
    ScopedClockScale scale(50);
    const DWORD ticksBefore = platform::GetTickCount();
    const auto realBefore = std::chrono::steady_clock::now();
    platform::Sleep(1000);
    const auto real = std::chrono::steady_clock::now() - realBefore;
    const DWORD ticks = platform::GetTickCount() - ticksBefore;
    EXPECT_GE(ticks, 1000u);
    // A program second at scale 50 is 20 real milliseconds: far less than the unscaled second.
    EXPECT_LT(real, std::chrono::milliseconds(1000));
}

TEST(ProgramClock, ChangingTheScaleNeverMovesTimeBackwards) {
    const DWORD first = platform::GetTickCount();
    SetClockScale(1000);
    const DWORD second = platform::GetTickCount();
    SetClockScale(1);
    const DWORD third = platform::GetTickCount();
    EXPECT_LE(static_cast<DWORD>(second - first), 1000u);
    EXPECT_LE(static_cast<DWORD>(third - second), 1000u);
}
