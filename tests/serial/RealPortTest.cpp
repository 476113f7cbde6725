// Tests on real serial hardware. They run only when PELLORIN_TEST_PORT names a serial device (a
// USB adapter, say /dev/ttyUSB0); the loopback exchange also needs PELLORIN_TEST_PORT2: the
// device at the other end of a null-modem cable, or "loopback" when a loopback plug (TX wired to
// RX) sits on the first port. Otherwise they are skipped, and the suite names say what they need.
// No test here ever opens a port that the variables do not name.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "SerialLib/Serial/LineDriver.h"
#include "SerialLib/Serial/Serial.h"
#include "platform/Clock.h"

namespace {

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Forwards to the kernel's driver and notes whether low latency was asked for and granted.
class NotingDriver : public LineDriver {
  public:
    int GetAttributes(int fd, termios& settings) override {
        return m_kernel->GetAttributes(fd, settings);
    }
    int SetAttributes(int fd, const termios& settings) override {
        return m_kernel->SetAttributes(fd, settings);
    }
    int GetCounters(int fd, LineCounters& counters) override {
        return m_kernel->GetCounters(fd, counters);
    }
    int GetModemLines(int fd, int& lines) override { return m_kernel->GetModemLines(fd, lines); }
    int SetBreak(int fd, bool on) override { return m_kernel->SetBreak(fd, on); }
    int RequestLowLatency(int fd) override {
        lowLatencyAsked = true;
        lowLatencyResult = m_kernel->RequestLowLatency(fd);
        if (lowLatencyResult == 0) {
            serial_struct serial{};
            lowLatencyReadBack =
                ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY);
        }
        return lowLatencyResult;
    }
    int GetPortType(int fd, int& type) override { return m_kernel->GetPortType(fd, type); }

    bool lowLatencyAsked = false;
    int lowLatencyResult = -1;
    bool lowLatencyReadBack = false;

  private:
    std::shared_ptr<LineDriver> m_kernel = KernelLineDriver();
};

class PELLORIN_TEST_PORT : public ::testing::Test {
  protected:
    void SetUp() override {
        path = FromEnvironment("PELLORIN_TEST_PORT");
        if (path.empty()) GTEST_SKIP() << "PELLORIN_TEST_PORT does not name a serial device";
    }
    std::string path;
};

class PELLORIN_TEST_PORT2 : public PELLORIN_TEST_PORT {
  protected:
    void SetUp() override {
        PELLORIN_TEST_PORT::SetUp();
        if (IsSkipped()) return;
        other = FromEnvironment("PELLORIN_TEST_PORT2");
        if (other.empty()) {
            GTEST_SKIP()
                << "PELLORIN_TEST_PORT2 names neither the other end of a cable nor \"loopback\"";
        }
    }
    std::string other;
};

// Writes `text` on `from` and reads it back on `to` within a few seconds.
std::string Exchange(CSerial& from, CSerial& to, const std::string& text) {
    DWORD written = 0;
    EXPECT_EQ(from.Write(text.data(), text.size(), &written), ERROR_SUCCESS);
    EXPECT_EQ(written, text.size());
    std::string received;
    const DWORD deadline = platform::GetTickCount() + 3000;
    while (received.size() < text.size() &&
           static_cast<std::int32_t>(deadline - platform::GetTickCount()) > 0) {
        char buffer[256];
        DWORD count = 0;
        if (to.Read(buffer, sizeof buffer, &count) != ERROR_SUCCESS) break;
        received.append(buffer, count);
        if (count == 0) platform::Sleep(5);
    }
    return received;
}

}  // namespace

TEST_F(PELLORIN_TEST_PORT, OpensExclusivelyAndCloses) {
    CSerial port;
    ASSERT_EQ(port.Open(path.c_str()), ERROR_SUCCESS) << path;
    EXPECT_TRUE(port.IsOpen());
    CSerial second;
    EXPECT_EQ(second.Open(path.c_str()), ERROR_ACCESS_DENIED) << "a second open of an open port";
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(second.Open(path.c_str()), ERROR_SUCCESS) << "open again once closed";
}

TEST_F(PELLORIN_TEST_PORT, EverySpeedReadsBack) {
    CSerial port;
    ASSERT_EQ(port.Open(path.c_str()), ERROR_SUCCESS) << path;
    for (const DWORD rate : {2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
        ASSERT_EQ(port.Setup(rate, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS) << rate;
        EXPECT_EQ(port.GetBaudrate(), static_cast<LONG>(rate));
        EXPECT_EQ(port.GetDataBits(), 8);
        EXPECT_EQ(port.GetParity(), NOPARITY);
        EXPECT_EQ(port.GetStopBits(), ONESTOPBIT);
    }
}

TEST_F(PELLORIN_TEST_PORT, AsksForLowLatency) {
    auto driver = std::make_shared<NotingDriver>();
    CSerial port;
    port.SetLineDriver(driver);
    ASSERT_EQ(port.Open(path.c_str()), ERROR_SUCCESS) << path;
    EXPECT_TRUE(driver->lowLatencyAsked);
    if (driver->lowLatencyResult == 0) {
        EXPECT_TRUE(driver->lowLatencyReadBack) << "granted, yet the driver's flags do not show it";
    } else {
        // Some drivers do not know the flag; the port works all the same, a little slower.
        RecordProperty("low_latency", "refused by the driver");
        std::printf("note: %s refuses low latency (errno %d)\n", path.c_str(),
                    driver->lowLatencyResult);
    }
}

TEST_F(PELLORIN_TEST_PORT2, LoopbackExchangeAtEverySpeedOfTheTool) {
    const bool plug = other == "loopback";
    CSerial first;
    CSerial second;
    ASSERT_EQ(first.Open(path.c_str()), ERROR_SUCCESS) << path;
    if (!plug) {
        ASSERT_EQ(second.Open(other.c_str()), ERROR_SUCCESS) << other;
    }
    CSerial& far = plug ? first : second;
    for (const DWORD rate : {2400u, 4800u, 9600u, 19200u, 38400u}) {
        ASSERT_EQ(first.Setup(rate, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
        if (!plug) {
            ASSERT_EQ(second.Setup(rate, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
        }
        (void)first.Purge();
        if (!plug) (void)far.Purge();
        const std::string command = "^S008BAUD192\r";
        EXPECT_EQ(Exchange(first, far, command), command) << rate;
        if (!plug) {
            const std::string reply =
                std::string("^D006ACK\r") + std::string(100, '\x55') + std::string("\xff\0\r", 3);
            EXPECT_EQ(Exchange(second, first, reply), reply) << "8-bit clean, both ways, " << rate;
        }
    }
}
