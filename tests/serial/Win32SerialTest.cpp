// The serial layer's Windows backend on a real COM port (under Wine, a pseudo-terminal joined to
// the peer port by a null-modem relay): statuses and traces, line setup with its read-back,
// immediate reads, writes on the caller's record, event waits, the listener and its window
// messages, closing while it waits, and the loss of the port's device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ListenerDoubles.h"
#include "SerialLib/Serial/CommCalls.h"
#include "SerialLib/Serial/DeviceSerial.h"
#include "SerialLib/Serial/PortCatalog.h"
#include "Win32TestPorts.h"
#include "platform/Clock.h"
#include "platform/Trace.h"

using platform::TraceCapture;
using serialtest::GatedPort;
using serialtest::Peer;
using serialtest::PeerPort;
using serialtest::PortUnderTest;
using serialtest::PullableCalls;
using serialtest::RecordingTarget;

namespace {

const auto* const safePorts = ::testing::AddGlobalTestEnvironment(new serialtest::SafePortsCheck);

using Message = RecordingTarget::Message;

constexpr int QUIET_MS = 150;

class Win32Port : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        ASSERT_EQ(port.Open(PortUnderTest().c_str(), 0, 0, true), ERROR_SUCCESS);
        ASSERT_EQ(port.Setup(19200, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
        // Whatever an earlier case left on the line is gone.
        (void)peer.Receive(1u << 20, 50);
        ASSERT_EQ(port.Purge(), ERROR_SUCCESS);
    }
    Peer peer;
    CSerial port;
};

}  // namespace

TEST_F(Win32Port, OpensClosesAndReopensWithTheDocumentedStatuses) {
    TraceCapture traces;
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetEventMask(), DWORD{EV_RXCHAR | EV_BREAK | EV_ERR});
    EXPECT_EQ(port.Open(PortUnderTest().c_str(), 0, 0, true), ERROR_ALREADY_INITIALIZED);
    EXPECT_TRUE(traces.Contains("CSerial::Open - Port already opened\n"));
    EXPECT_EQ(port.GetBaudrate(), 19200);
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_EQ(traces.Count("CSerial::Close - Method called when device is not open\n"), 1);
    // The lower-case name and queue sizes (SetupComm) work too.
    std::string lower = PortUnderTest();
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return std::tolower(c); });
    ASSERT_EQ(port.Open(lower.c_str(), 4096, 4096, true), ERROR_SUCCESS);
    EXPECT_FALSE(traces.Contains("CSerial::Open - Unable to setup the COM-port\n"));
}

TEST(Win32PortOpen, AMissingDeviceGivesFileNotFoundAndStaysClosed) {
    TraceCapture traces;
    CSerial port;
    EXPECT_EQ(port.Open("\\\\.\\PELLORIN-NO-SUCH-PORT"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(traces.Contains("CSerial::Open - Unable to open port\n"));
    // What a job then tells the operator.
    serial::PortInfo missing;
    missing.name = missing.path = "\\\\.\\PELLORIN-NO-SUCH-PORT";
    serial::DiagnosePort(missing, port.GetLastError());
    EXPECT_EQ(missing.state, serial::PortState::Absent);
}

TEST(Win32PortOpen, ASecondOpenOfAHeldPortIsRefused) {
    if (serialtest::UnderWine())
        GTEST_SKIP() << "Wine does not enforce exclusive open; this holds on Windows only";
    CSerial first, second;
    ASSERT_EQ(first.Open(PortUnderTest().c_str(), 0, 0, true), ERROR_SUCCESS);
    EXPECT_EQ(second.Open(PortUnderTest().c_str()), ERROR_ACCESS_DENIED);
}

TEST(Win32PortOpen, EveryOperationOnAClosedPortGivesInvalidHandle) {
    TraceCapture traces;
    CSerial port;
    char buffer[4];
    DWORD count = 7;
    EXPECT_EQ(port.Setup(2400, 8, NOPARITY, ONESTOPBIT), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.SetupReadTimeouts(CSerial::ReadTimeoutBlocking), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.GetBaudrate(), -1);
    EXPECT_TRUE(traces.Contains("CSerial::Setup - Device is not opened\n"));
    EXPECT_TRUE(traces.Contains("CSerial::SetupReadTimeouts - Device is not opened\n"));
}

TEST_F(Win32Port, LineSettingsAreReadBackAndARefusedOneLeavesTheLineAsItWas) {
    for (DWORD rate : {2400u, 4800u, 9600u, 19200u, 38400u}) {
        ASSERT_EQ(port.Setup(rate, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS) << rate;
        EXPECT_EQ(port.GetBaudrate(), static_cast<LONG>(rate));
        EXPECT_EQ(port.GetDataBits(), 8);
        EXPECT_EQ(port.GetParity(), NOPARITY);
    }
    TraceCapture traces;
    // A UART takes 7 bits with even parity; a pseudo-terminal forces 8 bits without parity,
    // which only the read-back shows: then the call is refused and the line stays as it was.
    const LONG status = port.Setup(9600, 7, EVENPARITY, ONESTOPBIT);
    if (status == ERROR_SUCCESS) {
        EXPECT_EQ(port.GetDataBits(), 7);
        EXPECT_EQ(port.GetParity(), EVENPARITY);
    } else {
        EXPECT_EQ(status, ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(traces.Contains("CSerial::Setup - Unable to set DCB information\n"));
        EXPECT_EQ(port.GetBaudrate(), 38400);
        EXPECT_EQ(port.GetDataBits(), 8);
    }
    EXPECT_EQ(port.SetupReadTimeouts(static_cast<CSerial::ReadTimeoutMode>(7)), E_INVALIDARG);
    EXPECT_EQ(port.SetupHandshaking(static_cast<CSerial::Handshake>(7)), E_INVALIDARG);
    EXPECT_EQ(traces.Count("Assertion failed: false\n"), 2);
}

TEST_F(Win32Port, AnImmediateReadReturnsAtOnceWithWhatIsThere) {
    unsigned char buffer[128];
    DWORD count = 99;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(
        std::all_of(std::begin(buffer), std::end(buffer), [](auto b) { return b == 0xDC; }));

    ASSERT_TRUE(peer.Send("abc"));
    std::string got;
    for (int tries = 0; got.size() < 3 && tries < 1000; ++tries) {
        ASSERT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
        got.append(reinterpret_cast<char*>(buffer), count);
        if (count == 0) platform::Sleep(5);
    }
    EXPECT_EQ(got, "abc");
}

TEST_F(Win32Port, AWriteOnTheCallersRecordSignalsItsEventAndReachesTheLine) {
    platform::Event done;
    OVERLAPPED record = OverlappedFor(done);
    DWORD written = 0;
    ASSERT_EQ(port.Write("hello", &written, &record, INFINITE), ERROR_SUCCESS);
    ASSERT_EQ(done.Wait(5000), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&record));
    EXPECT_EQ(GetOverlappedCount(&record), 5u);
    EXPECT_EQ(GetOverlappedStatus(&record), ERROR_SUCCESS);
    EXPECT_EQ(peer.Receive(5), "hello");

    // On the internal record the write waits until the bytes are out.
    ASSERT_EQ(port.Write("world", &written, nullptr, 5000), ERROR_SUCCESS);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(peer.Receive(5), "world");
}

TEST_F(Win32Port, AnEventWaitRunsOutOrEndsOnArrival) {
    if (serialtest::UnderWine()) {
        // Wine's wait on a pseudo-terminal gives up at once when it cannot read the modem lines,
        // completing with no bits; the listener then simply waits again.
        EXPECT_EQ(port.WaitEvent(nullptr, 100), ERROR_SUCCESS);
        EXPECT_EQ(port.GetEventType() & ~DWORD{EV_RXCHAR}, 0u);
    } else {
        EXPECT_EQ(port.WaitEvent(nullptr, 100), ERROR_TIMEOUT);
    }
    ASSERT_TRUE(peer.Send("x"));
    DWORD dwEvent = 0;
    for (int tries = 0; dwEvent == 0 && tries < 100; ++tries) {
        ASSERT_EQ(port.WaitEvent(nullptr, 5000), ERROR_SUCCESS);
        dwEvent = port.GetEventType();
    }
    EXPECT_EQ(dwEvent, DWORD{EV_RXCHAR});
}

TEST(Win32PortWithoutOverlappedMode, RefusesRecordsAndFiniteTimeOuts) {
    CSerial port;
    ASSERT_EQ(port.Open(PortUnderTest().c_str()), ERROR_SUCCESS);
    TraceCapture traces;
    platform::Event event;
    OVERLAPPED record = OverlappedFor(event);
    char buffer[4];
    DWORD count = 0;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, &record), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(port.Write("ab", &count, nullptr, 100), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(port.WaitEvent(&record), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(traces.Contains(
        "CSerial::Read - Overlapped I/O is disabled, specified parameters are illegal.\n"));
    EXPECT_EQ(port.Write("ab", &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 2u);
}

TEST_F(Win32Port, ModemLinesOfAPseudoTerminalAreNotSupportedUnderWine) {
    if (!serialtest::UnderWine()) GTEST_SKIP() << "a real port has modem lines";
    TraceCapture traces;
    EXPECT_FALSE(port.GetCTS());
    EXPECT_EQ(port.GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(traces.Contains("CSerial::GetCTS - Unable to obtain the modem status\n"));
}

namespace {

class Listener : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        (void)peer.Receive(1u << 20, 50);
    }
    Peer peer;
    RecordingTarget window;
    CDeviceSerial port;
};

}  // namespace

TEST_F(Listener, AnArrivalPostsTheDefaultMessageWithTheEventInTheLowWord) {
    ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object(), 0, 0, 0, 0), ERROR_SUCCESS);
    ASSERT_EQ(port.Setup(19200, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
    ASSERT_TRUE(peer.Send("ab"));
    ASSERT_GE(window.WaitFor(1), 1u);
    for (const Message& message : window.Messages())
        EXPECT_EQ(message, Message(CSerialWnd::DefaultComMsg, 0x00000001, 0));
    EXPECT_EQ(CSerialWnd::DefaultComMsg, ::RegisterWindowMessageA("CSerialWnd_DefaultComMsg"));
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
}

TEST_F(Listener, AGivenIdAndValueAreUsedAndASecondOpenChangesNothing) {
    ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object(), 0x8123, 77), ERROR_SUCCESS);
    RecordingTarget other;
    EXPECT_EQ(port.Open(PortUnderTest().c_str(), other.Object(), 0x9000, 5),
              ERROR_ALREADY_INITIALIZED);
    ASSERT_TRUE(peer.Send("z"));
    ASSERT_GE(window.WaitFor(1), 1u);
    EXPECT_EQ(window.Messages()[0], Message(0x8123, 0x00000001, 77));
    EXPECT_EQ(other.WaitFor(1, QUIET_MS), 0u);
    port.Close();
}

TEST_F(Listener, CloseWhileTheListenerWaitsEndsItAndPostsNothingMore) {
    ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
    platform::Sleep(20);
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    // Bytes an earlier case left unread may have been reported before the close; nothing after.
    const std::size_t before = window.Messages().size();
    ASSERT_TRUE(peer.Send("late"));
    EXPECT_EQ(window.WaitFor(before + 1, QUIET_MS), before);
}

TEST_F(Listener, DestroyingAListeningPortTracesOnceAndClosesIt) {
    TraceCapture traces;
    {
        CDeviceSerial local;
        ASSERT_EQ(local.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
    }
    EXPECT_EQ(traces.Count("CSerialWnd::~CSerialWnd - Serial port not closed\n"), 1);
    EXPECT_EQ(traces.Count("CSerialEx::~CSerialEx - Serial port not closed\n"), 0);
    EXPECT_EQ(traces.Count("CSerial::~CSerial - Serial port not closed\n"), 0);
}

TEST_F(Listener, BytesLeftUnreadAreAnnouncedOnceAndEveryLaterArrivalAgain) {
    ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
    ASSERT_EQ(port.Purge(), ERROR_SUCCESS);
    const std::size_t before = window.Messages().size();
    ASSERT_TRUE(peer.Send("abc"));
    ASSERT_GT(window.WaitFor(before + 1), before);
    platform::Sleep(QUIET_MS);
    const std::size_t announced = window.Messages().size();
    EXPECT_LE(announced - before, 3u) << "at most one message a byte";
    platform::Sleep(QUIET_MS);
    EXPECT_EQ(window.Messages().size(), announced) << "nothing new arrived: nothing to announce";

    // Read as the window does, then more arrives: in order, and announced again.
    std::string got;
    char buffer[128];
    DWORD count = 0;
    for (int i = 0; i < 50 && got.size() < 3; ++i) {
        ASSERT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
        got.append(buffer, count);
    }
    ASSERT_TRUE(peer.Send("def"));
    ASSERT_GT(window.WaitFor(announced + 1), announced);
    for (int i = 0; i < 50 && got.size() < 6; ++i) {
        ASSERT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
        got.append(buffer, count);
        if (count == 0) platform::Sleep(5);
    }
    EXPECT_EQ(got, "abcdef");
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
}

namespace {

// The system's calls, counting the waits the listener starts.
class CountingCalls : public CommCalls {
  public:
    BOOL WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* record) override {
        ++waits;
        return CommCalls::WaitCommEvent(port, events, record);
    }
    BOOL ReadFile(HANDLE port, void* data, DWORD length, DWORD* read, OVERLAPPED* record) override {
        if (record != nullptr && length == 1) ++waits;  // a read ahead of one byte
        return CommCalls::ReadFile(port, data, length, read, record);
    }
    std::atomic<int> waits{0};
};

}  // namespace

TEST_F(Listener, AQuietPortIsWaitedOnWithoutStartingWaitAfterWait) {
    // Under Wine an event wait on a pseudo-terminal ends after about a millisecond with no
    // event; started again and again it keeps a core busy. A change of the line's speed, as
    // every job makes, must not bring that back either.
    auto calls = std::make_shared<CountingCalls>();
    port.SetCommCalls(calls);
    ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
    ASSERT_EQ(port.Purge(), ERROR_SUCCESS);
    ASSERT_EQ(port.Setup(2400, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
    platform::Sleep(QUIET_MS);
    ASSERT_EQ(port.Setup(38400, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
    const int before = calls->waits.load();
    platform::Sleep(3 * QUIET_MS);
    EXPECT_LE(calls->waits.load() - before, 3) << "waits started on a quiet port";
    ASSERT_TRUE(peer.Send("x"));
    ASSERT_GE(window.WaitFor(1), 1u) << "and an arrival still ends the wait";
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
}

// The program's pattern: a device that keeps talking, a window thread that reads whenever told,
// and the port closed and opened again and again from a third thread.
TEST_F(Listener, OpenCloseCyclesWithTrafficNeverHangOrLoseAStop) {
    std::atomic<bool> running{true};
    std::thread device([&] {
        while (running.load()) {
            peer.Send("0123456789");
            (void)peer.Receive(1u << 16, 1);
        }
    });
    serialtest::WindowReader reader(window, port, false);
    for (int cycle = 0; cycle < 40; ++cycle) {
        ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS) << cycle;
        platform::Sleep(cycle % 3 == 0 ? 5 : 0);
        ASSERT_EQ(port.Close(), ERROR_SUCCESS);
    }
    running.store(false);
    device.join();
    reader.Stop();
    EXPECT_GT(window.Messages().size(), 0u);
    EXPECT_GT(reader.BytesRead(), 0);
}

TEST(Win32ListenerStop, AStopBetweenTwoWaitsIsNotMissed) {
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    RecordingTarget window;
    GatedPort port;
    ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
    ASSERT_TRUE(peer.Send("a"));
    ASSERT_EQ(port.atGate.Wait(5000), WAIT_OBJECT_0);
    platform::Event closed;
    std::thread closer([&] {
        port.Close();
        closed.Set();
    });
    ASSERT_EQ(port.maskSet.Wait(5000), WAIT_OBJECT_0);
    port.gateOpen.Set();
    const bool fPrompt = closed.Wait(5000) == WAIT_OBJECT_0;
    if (!fPrompt) peer.Send("b");
    closer.join();
    EXPECT_TRUE(fPrompt);
}

namespace {

// What Wine answers once a line has gone away (21, 109), and what Windows drivers answer for an
// unplugged USB adapter (5, 22, 31, 995, 1167).
constexpr LONG kLossCodes[] = {
    ERROR_NOT_READY,   ERROR_BROKEN_PIPE,       ERROR_ACCESS_DENIED,       ERROR_BAD_COMMAND,
    ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED, ERROR_DEVICE_NOT_CONNECTED};
constexpr WPARAM kLostMessage = (WPARAM{CE_IOE} << 16) | EV_ERR;

}  // namespace

TEST(Win32DeviceLoss, EveryFailureCodeIsTheDevicesLossOnceTheSystemConfirmsIt) {
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    for (const auto confirms :
         {PullableCalls::Confirms::NameGone, PullableCalls::Confirms::PortSilent}) {
        for (const LONG code : kLossCodes) {
            SCOPED_TRACE(::testing::Message()
                         << "code " << code << ", confirmed by "
                         << (confirms == PullableCalls::Confirms::NameGone ? "the name"
                                                                           : "the port's state"));
            auto calls = std::make_shared<PullableCalls>();
            RecordingTarget window;
            CDeviceSerial port;
            port.SetCommCalls(calls);
            ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
            ASSERT_EQ(port.Purge(), ERROR_SUCCESS);  // nothing left unread to report
            platform::Sleep(20);                     // the listener waits
            const std::size_t before = window.Messages().size();
            calls->Pull(code, confirms);
            // The listener says so once, with the I/O error bit, and ends.
            ASSERT_GE(window.WaitFor(before + 1), before + 1);
            EXPECT_EQ(window.Messages().back(),
                      Message(CSerialWnd::DefaultComMsg, kLostMessage, 0));
            DWORD count = 0;
            EXPECT_EQ(port.Write("x", &count), ERROR_DEVICE_NOT_CONNECTED);
            char buffer[16];
            EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(port.Close(), ERROR_SUCCESS);
            EXPECT_EQ(window.Messages().size(), before + 1);

            // Plugged in again, the port opens and works.
            calls->Replug();
            ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
            EXPECT_EQ(port.Write("ok", &count), ERROR_SUCCESS);
            EXPECT_EQ(peer.Receive(2), "ok");
            port.Close();
        }
    }
}

TEST(Win32DeviceLoss, AFailureThatLeavesTheDeviceInPlaceKeepsItsCodeAndThePortListening) {
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    for (const LONG code : kLossCodes) {
        SCOPED_TRACE(::testing::Message() << "code " << code);
        auto calls = std::make_shared<PullableCalls>();
        RecordingTarget window;
        CDeviceSerial port;
        port.SetCommCalls(calls);
        ASSERT_EQ(port.Open(PortUnderTest().c_str(), window.Object()), ERROR_SUCCESS);
        ASSERT_EQ(port.Setup(19200, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
        ASSERT_EQ(port.Purge(), ERROR_SUCCESS);
        calls->FailNextWrite(code);
        DWORD count = 0;
        // A driver's own 1167 is a loss only when confirmed, as every other code.
        EXPECT_EQ(port.Write("x", &count),
                  code == ERROR_DEVICE_NOT_CONNECTED ? ERROR_GEN_FAILURE : code);
        ASSERT_TRUE(peer.Send("y"));
        ASSERT_GE(window.WaitFor(1), 1u);
        EXPECT_EQ(window.Messages()[0], Message(CSerialWnd::DefaultComMsg, EV_RXCHAR, 0));
        port.Close();
    }
}
