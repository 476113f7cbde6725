// The listener and its window messages: one message per arrival with the exact WPARAM and
// LPARAM, the message id, break and error bits from the driver's counters, closing while the
// listener waits, a hang-up, open/close cycles under traffic, and the destructor traces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "ListenerDoubles.h"
#include "SerialLib/Serial/DeviceSerial.h"
#include "SerialTestSupport.h"
#include "platform/Clock.h"
#include "platform/Trace.h"
#include "sim/PseudoTerminal.h"

using platform::TraceCapture;
using serialtest::FakeLineDriver;
using serialtest::GatedPort;
using serialtest::RecordingTarget;
using sim::PseudoTerminal;
using Message = RecordingTarget::Message;

namespace {

class Listener : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }
    PseudoTerminal pty;
    RecordingTarget window;
    CDeviceSerial port;
};

// How long a test watches for a message that must not come.
constexpr int QUIET_MS = 150;

}  // namespace

TEST_F(Listener, EachArrivalPostsOneDefaultMessageWithTheEventInTheLowWord) {
    ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object(), 0, 0, 0, 0), ERROR_SUCCESS);
    for (std::size_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(pty.WriteMaster("ab"));
        ASSERT_EQ(window.WaitFor(i), i);
    }
    // Bytes nobody reads cause no further messages.
    EXPECT_EQ(window.WaitFor(4, QUIET_MS), 3u);
    // A mask change ends the listener's wait with no event bits: it waits again, quietly.
    TraceCapture traces;
    const DWORD mask = port.GetEventMask();
    ASSERT_EQ(port.SetMask(mask), ERROR_SUCCESS);
    EXPECT_EQ(window.WaitFor(4, QUIET_MS), 3u);
    char empty[80];
    std::snprintf(empty, sizeof empty,
                  "CSerial::GetEventType - Event 00000000h not within mask %08Xh.\n",
                  static_cast<unsigned>(mask));
    EXPECT_FALSE(traces.Contains(empty));
    ASSERT_TRUE(pty.WriteMaster("c"));
    ASSERT_EQ(window.WaitFor(4), 4u);
    for (const Message& message : window.Messages())
        EXPECT_EQ(message, Message(CSerialWnd::DefaultComMsg, 0x00000001, 0));
    EXPECT_EQ(CSerialWnd::DefaultComMsg,
              platform::RegisterWindowMessage("CSerialWnd_DefaultComMsg"));
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
}

TEST_F(Listener, AGivenMessageIdAndValueAreUsed) {
    ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object(), 0x8123, 77), ERROR_SUCCESS);
    ASSERT_TRUE(pty.WriteMaster("z"));
    ASSERT_EQ(window.WaitFor(1), 1u);
    EXPECT_EQ(window.Messages()[0], Message(0x8123, 0x00000001, 77));

    // Open on a listening object changes nothing.
    RecordingTarget other;
    EXPECT_EQ(port.Open(pty.SlavePath().c_str(), other.Object(), 0x9000, 5),
              ERROR_ALREADY_INITIALIZED);
    ASSERT_TRUE(pty.WriteMaster("z"));
    ASSERT_EQ(window.WaitFor(2), 2u);
    EXPECT_EQ(window.Messages()[1], Message(0x8123, 0x00000001, 77));
    EXPECT_EQ(other.Count(), 0u);
    port.Close();
}

TEST_F(Listener, BreaksAndLineErrorsFromTheDriverCountersAddTheirBits) {
    auto driver = std::make_shared<FakeLineDriver>();
    port.SetLineDriver(driver);
    ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS);

    driver->Counters([](LineCounters& c) { ++c.overrun; });
    ASSERT_TRUE(pty.WriteMaster("a"));
    ASSERT_EQ(window.WaitFor(1), 1u);
    EXPECT_EQ(std::get<1>(window.Messages()[0]), WPARAM{0x00020081});  // EV_RXCHAR|EV_ERR, overrun

    driver->Counters([](LineCounters& c) { ++c.brk; });
    ASSERT_TRUE(pty.WriteMaster("b"));
    ASSERT_EQ(window.WaitFor(2), 2u);
    EXPECT_EQ(std::get<1>(window.Messages()[1]), WPARAM{0x00100041});  // EV_RXCHAR|EV_BREAK

    driver->Counters([](LineCounters& c) {
        c.frame += 2;
        ++c.parity;
    });
    ASSERT_TRUE(pty.WriteMaster("c"));
    ASSERT_EQ(window.WaitFor(3), 3u);
    EXPECT_EQ(std::get<1>(window.Messages()[2]), WPARAM{0x000C0081});

    // Nothing new: plain data.
    ASSERT_TRUE(pty.WriteMaster("d"));
    ASSERT_EQ(window.WaitFor(4), 4u);
    EXPECT_EQ(std::get<1>(window.Messages()[3]), WPARAM{0x00000001});

    // GetError reports what came since the last look, once.
    driver->Counters([](LineCounters& c) { ++c.frame; });
    EXPECT_EQ(port.GetError(), CE_FRAME);
    EXPECT_EQ(port.GetError(), 0u);

    // A driver whose counters fail: the event still comes, with no error bits, and a trace.
    TraceCapture traces;
    driver->SetCounterError(EIO);
    ASSERT_TRUE(pty.WriteMaster("e"));
    ASSERT_EQ(window.WaitFor(5), 5u);
    EXPECT_EQ(std::get<1>(window.Messages()[4]), WPARAM{0x00000001});
    EXPECT_TRUE(traces.Contains("CSerialEx::ThreadProc - Unable to obtain COM status\n"));
    port.Close();
}

TEST_F(Listener, CloseWhileTheListenerWaitsEndsItAndPostsNothingMore) {
    ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS);
    platform::Sleep(20);  // let the listener settle in its wait
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    pty.WriteMaster("late");
    EXPECT_EQ(window.WaitFor(1, QUIET_MS), 0u);
    TraceCapture traces;
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_TRUE(traces.Contains("CSerial::Close - Method called when device is not open\n"));
}

TEST_F(Listener, AHangUpEndsTheListenerWithOneLastNotificationAndCloseReturnsAtOnce) {
    TraceCapture traces;
    ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS);
    pty.HangUp();
    for (int i = 0; i < 400 && window.Count() == 0; ++i) platform::Sleep(5);
    EXPECT_TRUE(traces.Contains("CSerial::WaitEvent - Unable to wait for COM event\n"));
    // The owner learns that the device has gone: an error event with the I/O error bit.
    ASSERT_EQ(window.Count(), 1u);
    EXPECT_EQ(std::get<1>(window.Messages()[0]), static_cast<WPARAM>((CE_IOE << 16) | EV_ERR));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(Listener, DestroyingAListeningPortTracesOnceAndClosesIt) {
    TraceCapture traces;
    {
        CDeviceSerial local;
        ASSERT_EQ(local.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS);
    }
    EXPECT_EQ(traces.Count("CSerialWnd::~CSerialWnd - Serial port not closed\n"), 1);
    EXPECT_EQ(traces.Count("CSerialEx::~CSerialEx - Serial port not closed\n"), 0);
    EXPECT_EQ(traces.Count("CSerial::~CSerial - Serial port not closed\n"), 0);
    CSerial again;
    EXPECT_EQ(again.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
}

TEST_F(Listener, AFailedOpenLeavesNoListenerAndNoDestination) {
    EXPECT_EQ(port.Open("/dev/pellorin-no-such-port", window.Object()), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS);
    port.Close();
}

// The program's pattern under stress: a device that keeps talking, a window thread that reads
// whenever told, and the port closed and opened again and again from a third thread. Every
// cycle must end promptly (no lost stop request) and nothing may touch a closed descriptor.
TEST_F(Listener, OpenCloseCyclesWithTrafficFlowingNeverHangOrLoseAStop) {
    std::atomic<bool> running{true};
    std::thread device([&] {
        const char burst[] = "0123456789";
        while (running.load()) {
            (void)!write(pty.MasterFd(), burst, sizeof burst - 1);
            char sink[256];
            (void)!read(pty.MasterFd(), sink, sizeof sink);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    serialtest::WindowReader reader(window, port, true);
    for (int cycle = 0; cycle < 150; ++cycle) {
        ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS) << cycle;
        if (cycle % 3 == 0) platform::Sleep(1);
        ASSERT_EQ(port.Close(), ERROR_SUCCESS);
    }
    running.store(false);
    device.join();
    reader.Stop();
    EXPECT_GT(window.Count(), 0u);
    EXPECT_GT(reader.BytesRead(), 0);
}

TEST(ListenerStop, AStopBetweenTwoWaitsIsNotMissed) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    RecordingTarget window;
    GatedPort port;
    ASSERT_EQ(port.Open(pty.SlavePath().c_str(), window.Object()), ERROR_SUCCESS);
    ASSERT_TRUE(pty.WriteMaster("a"));
    ASSERT_EQ(port.atGate.Wait(5000), WAIT_OBJECT_0);  // the listener is between two waits

    platform::Event closed;
    std::thread closer([&] {
        port.Close();
        closed.Set();
    });
    ASSERT_EQ(port.maskSet.Wait(5000), WAIT_OBJECT_0);  // the stop request has been made
    port.gateOpen.Set();                                // now the listener starts its wait
    // The line stays quiet: only the pending stop request can end that wait.
    const bool fPrompt = closed.Wait(5000) == WAIT_OBJECT_0;
    if (!fPrompt) pty.WriteMaster("b");  // free the listener so the test can end
    closer.join();
    EXPECT_TRUE(fPrompt);
    EXPECT_EQ(window.Count(), 1u);
}
