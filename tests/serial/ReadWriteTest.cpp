// Reads, writes and event waits: immediate and blocking reads, completion of writes on the
// caller's record, the overlapped-mode rule, and a line whose other side hangs up.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "SerialLib/Serial/Serial.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Trace.h"
#include "sim/PseudoTerminal.h"

using platform::Event;
using platform::TraceCapture;
using sim::PseudoTerminal;

namespace {

std::string Pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return data;
}

// CancelPendingIo is internal; a subclass reaches it.
struct CancellingPort : CSerial {
    using CSerial::CancelPendingIo;
};

class OverlappedPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        ASSERT_EQ(port.Open(pty.SlavePath().c_str(), 0, 0, true), ERROR_SUCCESS);
    }
    // Starts a write of 1 MiB on `record`, more than the line takes at once: it stays pending.
    void StartLongWrite(OVERLAPPED& record) {
        DWORD written = 0;
        ASSERT_EQ(port.Write(longData.data(), longData.size(), &written, &record, INFINITE),
                  ERROR_SUCCESS);
        ASSERT_FALSE(HasOverlappedIoCompleted(&record));
    }
    PseudoTerminal pty;
    CancellingPort port;
    const std::string longData = Pattern(1 << 20);
};

}  // namespace

TEST_F(OverlappedPort, AnImmediateReadOfNothingReturnsAtOnceWithTheBufferFilled) {
    unsigned char buffer[128];
    std::fill(std::begin(buffer), std::end(buffer), 0x11);
    DWORD count = 99;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(
        std::all_of(std::begin(buffer), std::end(buffer), [](auto b) { return b == 0xDC; }));

    ASSERT_TRUE(pty.WriteMaster("abc"));
    for (int tries = 0; count == 0 && tries < 1000; ++tries) {
        ASSERT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
        if (count == 0) platform::Sleep(5);
    }
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(buffer[3], 0xDC);
}

TEST_F(OverlappedPort, AWriteTheKernelTakesAtOnceSignalsTheCallersEventBeforeReturning) {
    Event done;
    OVERLAPPED record = OverlappedFor(done);
    DWORD written = 0;
    ASSERT_EQ(port.Write("hello", &written, &record, INFINITE), ERROR_SUCCESS);
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(done.IsSet());
    EXPECT_TRUE(HasOverlappedIoCompleted(&record));
    EXPECT_EQ(GetOverlappedCount(&record), 5u);
    EXPECT_EQ(pty.ReadMaster(2000, 5), "hello");
}

TEST_F(OverlappedPort, AWriteThatMustWaitCompletesOnTheCallersEventWhenTheLineDrains) {
    const std::string data = Pattern(1 << 20);  // far more than a tty buffers
    std::string buffer = data;
    Event done;
    OVERLAPPED record = OverlappedFor(done);
    DWORD written = 123;
    ASSERT_EQ(port.Write(buffer.data(), buffer.size(), &written, &record, INFINITE), ERROR_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(done.IsSet());
    EXPECT_FALSE(HasOverlappedIoCompleted(&record));
    // The caller's buffer is free as soon as Write returns.
    std::fill(buffer.begin(), buffer.end(), 'X');

    const std::string received = pty.ReadMaster(20000, data.size());
    EXPECT_EQ(done.Wait(5000), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&record));
    EXPECT_EQ(GetOverlappedStatus(&record), ERROR_SUCCESS);
    EXPECT_EQ(GetOverlappedCount(&record), data.size());
    EXPECT_TRUE(received == data);
    port.Close();  // the helper is gone only now; `done` must outlive it
}

TEST_F(OverlappedPort, ClosingEndsAPendingWriteAndSignalsItsRecord) {
    Event done;
    OVERLAPPED record = OverlappedFor(done);
    StartLongWrite(record);
    ASSERT_FALSE(done.IsSet());
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_TRUE(done.IsSet());
    EXPECT_EQ(GetOverlappedStatus(&record), ERROR_OPERATION_ABORTED);
    EXPECT_LT(GetOverlappedCount(&record), longData.size());
}

TEST_F(OverlappedPort, CancellingEndsPendingTransfersButLeavesThePortOpen) {
    Event done;
    OVERLAPPED record = OverlappedFor(done);
    StartLongWrite(record);
    EXPECT_EQ(port.CancelPendingIo(), ERROR_SUCCESS);
    EXPECT_EQ(done.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(GetOverlappedStatus(&record), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(port.IsOpen());
    DWORD written = 0;
    EXPECT_EQ(port.Write("x", &written, &record, INFINITE), ERROR_SUCCESS);
    port.Close();
}

TEST_F(OverlappedPort, ABlockingReadWaitsForTheWholeCountAndATimeOutLosesNothing) {
    ASSERT_EQ(port.SetupReadTimeouts(CSerial::ReadTimeoutBlocking), ERROR_SUCCESS);
    ASSERT_TRUE(pty.WriteMaster("0123"));
    char buffer[10];
    DWORD count = 5;
    {
        platform::ScopedClockScale fast(10.0);
        EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, nullptr, 2000), ERROR_TIMEOUT);
    }
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.GetLastError(), ERROR_TIMEOUT);

    std::thread sender([&] {
        platform::Sleep(30);
        pty.WriteMaster("45");
        platform::Sleep(30);
        pty.WriteMaster("6789");
    });
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, nullptr, INFINITE), ERROR_SUCCESS);
    sender.join();
    ASSERT_EQ(count, 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

TEST_F(OverlappedPort, ABlockingReadOnTheCallersRecordCompletesWhenTheBytesAreIn) {
    ASSERT_EQ(port.SetupReadTimeouts(CSerial::ReadTimeoutBlocking), ERROR_SUCCESS);
    char buffer[6];
    Event done;
    OVERLAPPED record = OverlappedFor(done);
    DWORD count = 9;
    ASSERT_EQ(port.Read(buffer, sizeof buffer, &count, &record, INFINITE), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(done.IsSet());
    ASSERT_TRUE(pty.WriteMaster("abc"));
    ASSERT_TRUE(pty.WriteMaster("def"));
    ASSERT_EQ(done.Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(GetOverlappedCount(&record), 6u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    port.Close();
}

TEST_F(OverlappedPort, EventWaitsEndOnArrivalOncePerArrivalAndOnAMaskChange) {
    TraceCapture traces;
    platform::ScopedClockScale fast(10.0);
    // Nothing on the line: the internal record's wait runs out.
    EXPECT_EQ(port.WaitEvent(nullptr, 1000), ERROR_TIMEOUT);

    ASSERT_TRUE(pty.WriteMaster("x"));
    ASSERT_EQ(port.WaitEvent(nullptr, 20000), ERROR_SUCCESS);
    EXPECT_EQ(port.GetEventType(), EV_RXCHAR);
    // The byte stays unread, and it does not end the next wait.
    EXPECT_EQ(port.WaitEvent(nullptr, 1000), ERROR_TIMEOUT);

    // A mask change while no wait runs ends the next wait at once, with no bits.
    ASSERT_EQ(port.SetMask(EV_RXCHAR | EV_ERR | EV_BREAK), ERROR_SUCCESS);
    EXPECT_EQ(port.WaitEvent(nullptr, INFINITE), ERROR_SUCCESS);
    EXPECT_EQ(port.GetEventType(), 0u);
    EXPECT_TRUE(
        traces.Contains("CSerial::GetEventType - Event 00000000h not within mask 000000C1h.\n"));
}

TEST(PortWithoutOverlappedMode, RefusesRecordsAndFiniteTimeOuts) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    CSerial port;
    ASSERT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    TraceCapture traces;
    Event event;
    OVERLAPPED record = OverlappedFor(event);
    char buffer[4];
    DWORD count = 0;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count, &record), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(port.Write("ab", &count, &record), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(port.Write("ab", &count, nullptr, 100), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(port.WaitEvent(&record), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(port.WaitEvent(nullptr, 100), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(traces.Contains(
        "CSerial::Read - Overlapped I/O is disabled, specified parameters are illegal.\n"));
    EXPECT_EQ(
        traces.Count(
            "CSerial::Write - Overlapped I/O is disabled, specified parameters are illegal.\n"),
        2);
    EXPECT_EQ(traces.Count("CSerial::WaitEvent - Overlapped I/O is disabled, specified "
                           "parameters are illegal.\n"),
              2);
    // Without a record the calls work.
    EXPECT_EQ(port.Write("ab", &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
}

TEST_F(OverlappedPort, AHangUpOfTheOtherSideIsReportedAndCloseStillWorks) {
    TraceCapture traces;
    pty.HangUp();
    char buffer[16];
    DWORD count = 0;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port.Write("ab", &count), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port.WaitEvent(nullptr, INFINITE), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(traces.Contains("CSerial::WaitEvent - Unable to wait for COM event\n"));
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
}
