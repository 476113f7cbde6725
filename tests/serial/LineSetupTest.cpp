// Line settings: rate and stop bits as the other side sees them, framing through the driver
// seam, read-back of what the driver applied, the raw line, and modes outside their range.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <memory>
#include <string>

#include "SerialLib/Serial/Serial.h"
#include "SerialTestSupport.h"
#include "platform/Clock.h"
#include "platform/Trace.h"
#include "sim/PseudoTerminal.h"

using platform::TraceCapture;
using serialtest::FakeLineDriver;
using sim::PseudoTerminal;

namespace {

class LineSetup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        ASSERT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    }
    PseudoTerminal pty;
    CSerial port;
};

// The same on a driver that shows what a pseudo-terminal cannot.
class LineSetupThroughTheSeam : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        port.SetLineDriver(driver);
        ASSERT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    }
    PseudoTerminal pty;
    std::shared_ptr<FakeLineDriver> driver = std::make_shared<FakeLineDriver>();
    CSerial port;
};

}  // namespace

TEST_F(LineSetup, RateAndStopBitsReachTheLine) {
    for (DWORD rate : {2400u, 4800u, 9600u, 19200u, 38400u, 115200u}) {
        ASSERT_EQ(port.Setup(rate, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS) << rate;
        EXPECT_EQ(pty.SlaveBaud(), rate);
        EXPECT_EQ(pty.SlaveStopBits(), 1);
        EXPECT_EQ(port.GetBaudrate(), static_cast<LONG>(rate));
    }
    ASSERT_EQ(port.Setup(19200, 8, NOPARITY, TWOSTOPBITS), ERROR_SUCCESS);
    EXPECT_EQ(pty.SlaveStopBits(), 2);
    EXPECT_EQ(port.GetStopBits(), TWOSTOPBITS);
}

TEST_F(LineSetup, SettingsTheLineCannotTakeAreRefusedAndLeaveItAsItWas) {
    ASSERT_EQ(port.Setup(9600, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
    TraceCapture traces;
    // Linux has no 1.5 stop bits; a rate that is no standard rate; a bad size or parity.
    EXPECT_EQ(port.Setup(9600, 8, NOPARITY, ONE5STOPBITS), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.Setup(12345, 8, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.Setup(9600, 9, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.Setup(9600, 8, 5, ONESTOPBIT), ERROR_INVALID_PARAMETER);
    // A pseudo-terminal takes the call but forces 8 bits without parity: only the read-back
    // shows it, and the rate asked for in the same call is not left behind either.
    EXPECT_EQ(port.Setup(38400, 7, EVENPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(traces.Count("CSerial::Setup - Unable to set DCB information\n"), 5);
    EXPECT_EQ(pty.SlaveBaud(), 9600u);
    EXPECT_EQ(pty.SlaveStopBits(), 1);
}

TEST_F(LineSetup, TheLineIsRawEightBitsWithNoTranslationOrEcho) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    ASSERT_TRUE(pty.WriteMaster(all));
    std::string got;
    char buffer[128];
    for (int tries = 0; got.size() < all.size() && tries < 1000; ++tries) {
        DWORD count = 0;
        ASSERT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
        got.append(buffer, count);
        if (count == 0) platform::Sleep(5);
    }
    EXPECT_EQ(got, all);
    // Nothing came back to the sender: no echo.
    EXPECT_EQ(pty.ReadMaster(50), "");
    DWORD written = 0;
    ASSERT_EQ(port.Write("\r\n\x03\x1a", &written), ERROR_SUCCESS);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pty.ReadMaster(2000, 4), std::string("\r\n\x03\x1a"));
}

TEST_F(LineSetup, ModesOutsideTheirEnumerationAreRefusedWithAnAssertionTrace) {
    TraceCapture traces;
    EXPECT_EQ(port.SetupReadTimeouts(static_cast<CSerial::ReadTimeoutMode>(7)), E_INVALIDARG);
    EXPECT_EQ(port.SetupHandshaking(static_cast<CSerial::Handshake>(7)), E_INVALIDARG);
    EXPECT_EQ(traces.Count("Assertion failed: false\n"), 2);
    EXPECT_EQ(port.GetHandshaking(), CSerial::HandshakeOff);
    // Immediate reads are still in force.
    char buffer[8];
    DWORD count = 1;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(LineSetupThroughTheSeam, DataBitsParityAndStopBitsAreSetAndReadBack) {
    EXPECT_EQ(driver->LowLatencyRequests(), 1);  // asked for, refused, and the port works

    struct Case {
        BYTE bits, parity, stop;
    };
    for (Case c : {Case{7, EVENPARITY, TWOSTOPBITS}, Case{5, ODDPARITY, ONESTOPBIT},
                   Case{6, MARKPARITY, ONESTOPBIT}, Case{8, SPACEPARITY, TWOSTOPBITS},
                   Case{8, NOPARITY, ONESTOPBIT}}) {
        ASSERT_EQ(port.Setup(4800, c.bits, c.parity, c.stop), ERROR_SUCCESS);
        EXPECT_EQ(port.GetDataBits(), c.bits);
        EXPECT_EQ(port.GetParity(), c.parity);
        EXPECT_EQ(port.GetStopBits(), c.stop);
        EXPECT_EQ(port.GetBaudrate(), 4800);
    }

    // A driver that will not do mark/space parity: refused, and the old framing stays.
    driver->Refuse(CMSPAR);
    TraceCapture traces;
    EXPECT_EQ(port.Setup(4800, 7, MARKPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(traces.Contains("CSerial::Setup - Unable to set DCB information\n"));
    EXPECT_EQ(port.GetDataBits(), 8);
    EXPECT_EQ(port.GetParity(), NOPARITY);
}

TEST_F(LineSetupThroughTheSeam, ModemLinesBreakAndHandshaking) {
    driver->SetModemLines(TIOCM_CTS | TIOCM_CAR);
    EXPECT_TRUE(port.GetCTS());
    EXPECT_FALSE(port.GetDSR());
    EXPECT_FALSE(port.GetRing());
    EXPECT_TRUE(port.GetRLSD());
    driver->SetModemLines(TIOCM_DSR | TIOCM_RNG);
    EXPECT_FALSE(port.GetCTS());
    EXPECT_TRUE(port.GetDSR());
    EXPECT_TRUE(port.GetRing());

    EXPECT_EQ(port.Break(), ERROR_SUCCESS);
    EXPECT_EQ(driver->BreakCalls(), (std::vector<bool>{true, false}));

    ASSERT_EQ(port.SetupHandshaking(CSerial::HandshakeSoftware), ERROR_SUCCESS);
    EXPECT_EQ(port.GetHandshaking(), CSerial::HandshakeSoftware);
    ASSERT_EQ(port.SetupHandshaking(CSerial::HandshakeHardware), ERROR_SUCCESS);
    EXPECT_EQ(port.GetHandshaking(), CSerial::HandshakeHardware);
    ASSERT_EQ(port.SetupHandshaking(CSerial::HandshakeOff), ERROR_SUCCESS);
    EXPECT_EQ(port.GetHandshaking(), CSerial::HandshakeOff);
}
