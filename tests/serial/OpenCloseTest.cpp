// Opening, closing, reopening and exclusive use of a port, its status codes and its names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/Serial.h"
#include "SerialTestSupport.h"
#include "platform/Trace.h"
#include "sim/PseudoTerminal.h"

using platform::TraceCapture;
using serialtest::ComDirectory;
using serialtest::InChildProcess;
using sim::PseudoTerminal;

namespace {

// What a job learns of a port before it opens it.
serial::PortState StateOf(const std::string& path) {
    serial::PortInfo port;
    port.name = port.path = path;
    serial::DiagnosePort(port);
    return port.state;
}

}  // namespace

TEST(PortOpenClose, OpensClosesAndReopensWithTheDocumentedStatuses) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    TraceCapture traces;
    CSerial port;
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetEventMask(), EV_RXCHAR | EV_BREAK | EV_ERR);

    // A second Open leaves the open port as it was.
    ASSERT_EQ(port.Setup(9600, 8, NOPARITY, ONESTOPBIT), ERROR_SUCCESS);
    EXPECT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(port.GetLastError(), ERROR_ALREADY_INITIALIZED);
    EXPECT_TRUE(traces.Contains("CSerial::Open - Port already opened\n"));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetBaudrate(), 9600);

    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(traces.Count("CSerial::Close - Method called when device is not open\n"), 0);
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
    EXPECT_EQ(traces.Count("CSerial::Close - Method called when device is not open\n"), 1);

    ASSERT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    EXPECT_EQ(port.Close(), ERROR_SUCCESS);
}

TEST(PortOpenClose, AMissingDeviceGivesFileNotFoundAndStaysClosed) {
    TraceCapture traces;
    CSerial port;
    EXPECT_EQ(port.Open("/dev/pellorin-no-such-port"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(traces.Contains("CSerial::Open - Unable to open port\n"));
}

TEST(PortOpenClose, EveryOperationOnAClosedPortGivesInvalidHandleWithItsTrace) {
    TraceCapture traces;
    CSerial port;
    char buffer[4];
    DWORD count = 7;
    EXPECT_EQ(port.Setup(2400, 8, NOPARITY, ONESTOPBIT), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.SetMask(EV_RXCHAR), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.WaitEvent(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.Write("x", &count), ERROR_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &count), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.SetupReadTimeouts(CSerial::ReadTimeoutBlocking), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.SetupHandshaking(CSerial::HandshakeOff), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.GetEventMask(), 0u);
    EXPECT_EQ(port.GetBaudrate(), -1);
    EXPECT_EQ(port.GetDataBits(), -1);
    EXPECT_EQ(port.GetEventChar(), 0);
    EXPECT_FALSE(port.GetCTS());
    EXPECT_EQ(port.GetLastError(), ERROR_INVALID_HANDLE);
    for (const char* line :
         {"CSerial::Setup - Device is not opened\n", "CSerial::SetMask - Device is not opened\n",
          "CSerial::WaitEvent - Device is not opened\n", "CSerial::Write - Device is not opened\n",
          "CSerial::Read - Device is not opened\n",
          "CSerial::SetupReadTimeouts - Device is not opened\n",
          "CSerial::SetupHandshaking - Device is not opened\n",
          "CSerial::GetEventMask - Device is not opened\n"})
        EXPECT_TRUE(traces.Contains(line)) << line;
}

TEST(PortOpenClose, DestroyingAnOpenPortTracesAndClosesIt) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    TraceCapture traces;
    {
        CSerial port;
        ASSERT_EQ(port.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    }
    EXPECT_EQ(traces.Count("CSerial::~CSerial - Serial port not closed\n"), 1);
    CSerial again;
    EXPECT_EQ(again.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
}

TEST(PortExclusivity, ASecondOpenIsRefusedInThisProcessAndInAChild) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    CSerial first;
    ASSERT_EQ(first.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);

    ASSERT_TRUE(pty.WriteMaster("kept"));
    ASSERT_EQ(first.WaitEvent(), ERROR_SUCCESS);  // the bytes are in the port's receive queue

    CSerial second;
    EXPECT_EQ(second.Open(pty.SlavePath().c_str()), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(StateOf(pty.SlavePath()), serial::PortState::InUse);
    // The refused opens did not touch the holder's queues.
    char buffer[16];
    DWORD count = 0;
    ASSERT_EQ(first.Read(buffer, sizeof buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, count), "kept");

    // The child keeps this process's privileges (root on the build machines): the lock holds.
    const std::string path = pty.SlavePath();
    EXPECT_EQ(InChildProcess([&] { return CSerial().Open(path.c_str()); }, false),
              ERROR_ACCESS_DENIED);

    first.Close();
    EXPECT_EQ(second.Open(pty.SlavePath().c_str()), ERROR_SUCCESS);
    second.Close();
    EXPECT_EQ(StateOf(pty.SlavePath()), serial::PortState::Free);
}

TEST(PortExclusivity, AnUnprivilegedUserIsTurnedAwayWhileOpenAndLetInAfterClose) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
    const std::string path = pty.SlavePath();
    auto openAsChild = [&] {
        return InChildProcess(
            [&] {
                CSerial port;
                const LONG status = port.Open(path.c_str());
                port.Close();
                return static_cast<int>(status);
            },
            true);
    };
    auto stateAsChild = [&] {
        return InChildProcess([&] { return static_cast<int>(StateOf(path)); }, true);
    };
    CSerial port;
    ASSERT_EQ(port.Open(path.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(openAsChild(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(stateAsChild(), static_cast<int>(serial::PortState::InUse));
    port.Close();
    // The pseudo-terminal's other descriptor keeps the tty open: a left-over exclusive flag
    // would still turn the next user away.
    EXPECT_EQ(openAsChild(), ERROR_SUCCESS);
    EXPECT_EQ(stateAsChild(), static_cast<int>(serial::PortState::Free));
}

TEST(PortNames, ComNumbersComeFromTheComFolder) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Ok());
    ComDirectory dir;
    ASSERT_TRUE(pty.LinkAs(dir.Port(3)));
    ASSERT_EQ(symlink("/dev/pellorin-gone", dir.Port(5).c_str()), 0);

    EXPECT_EQ(PortDevicePath(3), dir.Port(3));
    EXPECT_EQ(PortDevicePath(4), "");
    EXPECT_EQ(PortDevicePath(5), "");  // a link that does not resolve is no port
    const auto listed = serial::ListPorts();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "COM3");
    EXPECT_EQ(listed[0].state, serial::PortState::Free);
    EXPECT_EQ(serial::LocatePort("com4")->state, serial::PortState::Absent);

    CSerial port;
    EXPECT_EQ(port.Open("Com3"), ERROR_SUCCESS);
    EXPECT_EQ(pty.WriteMaster("hi"), true);
    port.Close();
    EXPECT_EQ(port.Open("COM4"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port.Open("COM5"), ERROR_FILE_NOT_FOUND);
}

TEST(PortNames, AComNameIsComInAnyCaseAndDigits) {
    EXPECT_EQ(serial::ComNumber("COM3"), 3);
    EXPECT_EQ(serial::ComNumber("com12"), 12);
    EXPECT_EQ(serial::ComNumber("Com05"), 5);
    EXPECT_EQ(serial::ComNumber("COM255"), 255);
    for (const char* other : {"COM", "COMX", "COM3a", "COM-1", " COM3", "CON3", "COM1234567"})
        EXPECT_EQ(serial::ComNumber(other), std::nullopt) << other;
    // The list offers 0 to 29 only.
    EXPECT_EQ(serial::ListedComNumber("COM0"), 0);
    EXPECT_EQ(serial::ListedComNumber("COM29"), 29);
    EXPECT_EQ(serial::ListedComNumber("COM30"), std::nullopt);
}

TEST(PortNames, OtherNamesAreOpenedAsGiven) {
    EXPECT_EQ(ResolvePortName("/dev/ttyUSB7"), "/dev/ttyUSB7");
    EXPECT_EQ(ResolvePortName("COMX"), "COMX");
    EXPECT_EQ(ResolvePortName("com"), "com");
}

// Numbering without PELLORIN_COM_DIR, on a made-up copy of /sys/class/tty: UARTs with hardware,
// then USB adapters, then ACM devices, each by number; placeholders and virtual ttys skipped.
TEST(PortNames, PresentDevicesAreNumberedUartsThenUsbThenAcm) {
    namespace fs = std::filesystem;
    ComDirectory scratch;  // only for its temporary folder
    unsetenv("PELLORIN_COM_DIR");
    const fs::path root = scratch.Path();
    const fs::path classDir = root / "class";
    fs::create_directories(classDir);
    auto device = [&](const std::string& name, const std::string& parent, const char* type) {
        const fs::path dir = root / "devices" / parent / "tty" / name;
        fs::create_directories(dir);
        if (type) std::ofstream(dir / "type") << type << "\n";
        fs::create_symlink(dir, classDir / name);
    };
    device("ttyS10", "platform/serial8250", "4");
    device("ttyS2", "pnp0/00:01", "4");
    device("ttyS3", "platform/serial8250", "0");  // placeholder, no UART behind it
    device("ttyUSB1", "pci0000:00/usb1/1-1", nullptr);
    device("ttyUSB0", "pci0000:00/usb1/1-2", nullptr);
    device("ttyACM0", "pci0000:00/usb1/1-3", nullptr);
    device("ttyS0", "virtual/tty", "4");  // a virtual tty is no port
    device("tty5", "virtual/tty", nullptr);
    EXPECT_EQ(serial::PresentSerialDevices(classDir.string()),
              (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyUSB1",
                                        "/dev/ttyACM0"}));
}
