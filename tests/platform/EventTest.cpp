// Manual-reset events: set stays set until reset, waits report signalled or timed out.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/StopSignal.h"

using namespace platform;

TEST(ManualResetEvent, StaysSignalledUntilReset) {
    Event event;
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
    event.Set();
    EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(10), WAIT_OBJECT_0) << "a wait does not consume the signal";
    event.Reset();
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
}

TEST(ManualResetEvent, TimedWaitRunsOutAndASetFromAnotherThreadWakesIt) {
    ScopedClockScale scale(20);
    Event event;
    const DWORD start = platform::GetTickCount();
    EXPECT_EQ(event.Wait(200), WAIT_TIMEOUT);
    EXPECT_GE(platform::GetTickCount() - start, 200u);

    std::thread setter([&] {
        platform::Sleep(50);
        event.Set();
    });
    EXPECT_EQ(event.Wait(INFINITE), WAIT_OBJECT_0);
    setter.join();
}

TEST(StopSignal, APauseEndsEarlyOnAStopRequest) {
    ScopedClockScale scale(1);
    StopSignal stop;
    std::thread stopper([&] {
        platform::Sleep(20);
        stop.Request();
    });
    const DWORD start = platform::GetTickCount();
    EXPECT_FALSE(stop.Pause(60000));
    EXPECT_LT(platform::GetTickCount() - start, 30000u);
    stopper.join();
    EXPECT_TRUE(stop.Requested());
    EXPECT_FALSE(stop.Pause(1000)) << "a stopped signal never pauses again";
}
