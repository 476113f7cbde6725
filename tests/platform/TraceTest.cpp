// Trace lines are captured whole, one per call, from any thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Trace.h"

using namespace platform;

TEST(TraceLines, AreCapturedWithTheirLineEnd) {
    TraceCapture capture;
    Trace("CSerial::Close - Method called when device is not open\n");
    Tracef("CSerial::GetEventType - Event %08Xh not within mask %08Xh.\n", 0u, 0xC1u);
    std::thread([] { Trace("from another thread"); }).join();
    EXPECT_TRUE(capture.Contains("CSerial::Close - Method called when device is not open\n"));
    EXPECT_TRUE(
        capture.Contains("CSerial::GetEventType - Event 00000000h not within mask 000000C1h.\n"));
    EXPECT_TRUE(capture.Contains("from another thread\n"));
    EXPECT_EQ(capture.Lines().size(), 3u);
}
