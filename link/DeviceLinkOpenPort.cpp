// DeviceLink::OpenPort: opening the port at the contact speed and moving the link to the working
// speed.
#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/RemotePortHistory.h"
#include "SerialLib/Serial/RemotePortName.h"
#include "link/DeviceLink.h"
#include "link/LinkSpeeds.h"

namespace pellorin {
namespace {

// Text typed into the speed box selects no entry: nothing is sent and the line stays at 2400.
constexpr LinkSpeed kNoLinkSpeed = {"", "", kContactBaud};

LinkSpeed ChooseLinkSpeed(int jobMode, int baudIndex) {
    if (jobMode == kJobMcuUpdate) return kMcuLinkSpeed;
    if (baudIndex >= 0 && baudIndex < kLinkSpeedCount) return kLinkSpeeds[baudIndex];
    return kNoLinkSpeed;
}

// The lines after "Cannot open serial port": which port and why, and where to see them all.
std::string WhyNotOpened(const serial::PortInfo& port, LONG status) {
    if (serial::IsRemotePortName(port.name))
        return port.name + ": " + serial::RemoteOpenFailure(status);
    std::string where = port.name;
    if (!port.path.empty() && port.path != port.name) where += " (" + port.Description() + ")";
    return where + ": " + (port.reason.empty() ? "the device refused to open" : port.reason) +
           "\npellorin-cli ports lists the serial ports and their state";
}

}  // namespace

void DeviceLink::OpenPort(bool negotiateBaud) {
    ClosePortOnce();
    if (Stop.Requested()) return;
    // A COM number means the adapter the operator chose from the list: it is opened where that
    // adapter is plugged in now, never at whatever holds its old place. Other names are opened
    // as given.
    std::optional<serial::PortInfo> port = serial::LocatePort(PortName, PortIdentity);
    if (!port) {
        port = serial::PortInfo{};
        port->name = port->path = PortName;
    }
    const bool remote = serial::IsRemotePortName(PortName);
    const bool raw = remote && serial::IsRawTcpPortName(PortName);
    Record.SetAdapterDescription(remote ? PortName + (raw ? " (network serial server, raw TCP)"
                                                          : " (network serial server, RFC 2217)")
                                        : port->Description());
    LONG opened = ERROR_FILE_NOT_FOUND;
    if (remote) {
        // A network serial server says itself why it cannot be reached.
        opened = Port.Open(port->path.c_str(), &m_window, 0, 0, 0, 0);
        port->state =
            opened == ERROR_SUCCESS ? serial::PortState::Free : serial::PortState::Unusable;
    } else {
        // A port that another program has open is not opened at all: two programs on one line
        // corrupt an update, and an open raises the modem lines under the other program's feet.
        // What is not a serial port, or is not there, is refused before an open as well.
        if (port->state != serial::PortState::Absent) serial::DiagnosePort(*port);
        if (port->state == serial::PortState::Free) {
            opened = Port.Open(port->path.c_str(), &m_window, 0, 0, 0, 0);
            if (opened != ERROR_SUCCESS) {
                serial::DiagnosePort(*port, opened);
                if (port->state == serial::PortState::Free)
                    port->state = serial::PortState::Unusable;
            }
        }
    }
    if (port->state != serial::PortState::Free) {
        // An open that failed half-way can leave the port open without its listener: close it,
        // so that no job runs after the message.
        ClosePortOnce();
        Outcome.store(JobOutcome::PortNotOpened);
        if (!Stop.Requested())
            TheConsole.ShowMessage("Cannot open serial port\n" + WhyNotOpened(*port, opened));
        return;
    }
    Channel.ResetLinkLost();
    // Both windows offer a remote port again, and `ports` lists it, once it has opened.
    if (remote) (void)serial::RemotePortHistory().Remember(PortName);
    if (Port.Setup(kContactBaud, 8, NOPARITY, ONESTOPBIT) != ERROR_SUCCESS) {
        ReportSetupFail();
        return;
    }
    if (!negotiateBaud) return;
    if (raw) {
        // A raw server's line speed cannot be set: the job stays at the contact speed, as when
        // no speed is chosen, and sends no speed command the device would move on.
        Log(PortName + " is a raw TCP port: the speed cannot be set, the job runs at 2400 baud");
        Log(PortName + " was opened!");
        return;
    }

    const LinkSpeed rate = ChooseLinkSpeed(JobMode.load(), TheConsole.SelectedBaudIndex());
    char reply[kReplyBufferSize] = {};
    bool acknowledged = false;
    Connecting.Begin(ConnectStep::Speed, kSpeedAttempts);
    for (int attempt = 0; attempt < kSpeedAttempts && !Stop.Requested(); ++attempt) {
        Connecting.NextAttempt();
        acknowledged = IsSpeedAcknowledgement(reply, Channel.Transact(rate.command, reply));
        if (acknowledged) break;
    }
    // Nothing is asked when no speed was chosen (text typed into the speed box).
    if (rate.command[0] != '\0') {
        Connecting.SetSpeedReply(acknowledged ? SpeedReply::Confirmed : SpeedReply::NotConfirmed);
        Record.SetSpeedConfirmed(acknowledged);
    }
    // The device may have moved although its acknowledgement was lost: change speed in any case.
    if (Port.Setup(rate.baud, 8, NOPARITY, ONESTOPBIT) == ERROR_SUCCESS) {
        Log(PortName + " was opened!");
    } else {
        ReportSetupFail();
    }
}

void DeviceLink::ReportSetupFail() {
    ClosePortOnce();
    Outcome.store(JobOutcome::PortSetupFailed);
    Log(" Setup serial port  fail!");
    if (Channel.LinkLost() && m_procedures != nullptr) m_procedures->PortLost();
}

}  // namespace pellorin
