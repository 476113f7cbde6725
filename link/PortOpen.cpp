// Opening the port at the contact speed and moving the link to the working speed.
#include <iterator>

#include "link/DeviceLink.h"
#include "link/SpeedAck.h"

namespace pellorin {
namespace {

constexpr DWORD kContactBaud = 2400;
constexpr int kSpeedAttempts = 3;

// The speed commands: fixed byte strings, the digits in them are never built or parsed.
struct LinkBaudRate {
    const char* command;
    DWORD baud;
};
constexpr LinkBaudRate kMcuLinkRate = {"^S008BAUD192\r", 9600};  // the MCU asks 192, runs 9600
constexpr LinkBaudRate LinkBaudRates[] = {
    {"^S008BAUD048\r", 4800},   // " 4800"
    {"^S008BAUD096\r", 9600},   // " 9600"
    {"^S008BAUD192\r", 19200},  // "19200"
    {"^S008BAUD384\r", 38400},  // "38400"
};
// Text typed into the speed box selects no entry: nothing is sent and the line stays at 2400.
constexpr LinkBaudRate kNoLinkRate = {"", kContactBaud};

LinkBaudRate ChooseLinkRate(int jobMode, int baudIndex) {
    if (jobMode == kJobMcuUpdate) return kMcuLinkRate;
    if (baudIndex >= 0 && baudIndex < static_cast<int>(std::size(LinkBaudRates))) {
        return LinkBaudRates[baudIndex];
    }
    return kNoLinkRate;
}

}  // namespace

void DeviceLink::OpenPort(bool negotiateBaud) {
    if (Port.IsOpen()) Port.Close();
    if (Stop.Requested()) return;
    if (Port.Open(PortName.c_str(), &m_window, 0, 0, 0, 0) != ERROR_SUCCESS) {
        // An open that failed half-way can leave the port open without its listener: close it,
        // so that no job runs after the message.
        if (Port.IsOpen()) Port.Close();
        if (!Stop.Requested()) TheConsole.ShowMessage("Cannot open serial port");
        return;
    }
    if (Port.Setup(kContactBaud, 8, NOPARITY, ONESTOPBIT) != ERROR_SUCCESS) {
        Port.Close();
        Log(" Setup serial port  fail!");
        return;
    }
    if (!negotiateBaud) return;

    const LinkBaudRate rate = ChooseLinkRate(JobMode.load(), TheConsole.SelectedBaudIndex());
    char reply[kReplyBufferSize] = {};
    for (int attempt = 0; attempt < kSpeedAttempts && !Stop.Requested(); ++attempt) {
        if (IsSpeedAcknowledgement(reply, Channel.Transact(rate.command, reply))) break;
    }
    // The device may have moved although its acknowledgement was lost: change speed in any case.
    if (Port.Setup(rate.baud, 8, NOPARITY, ONESTOPBIT) == ERROR_SUCCESS) {
        Log(PortName + " was opened!");
    } else {
        Port.Close();
        Log(" Setup serial port  fail!");
    }
}

}  // namespace pellorin
