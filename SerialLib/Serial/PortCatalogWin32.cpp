// The port catalogue on Windows: the COM numbers are the system's own and stay with their adapter
// (Windows binds them to the device), so nothing is bound here; the identity of a port is its
// system device name. Nothing here opens a port: the list is the system's list of serial devices,
// and why a port cannot be used is told by the job's own open, the only one.
#include <windows.h>

#include <cstdio>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/WindowsPortList.h"

namespace serial {
namespace {

std::string SystemErrorText(DWORD error) {
    char text[256] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, static_cast<DWORD>(sizeof text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

}  // namespace

std::vector<PortInfo> ListPorts() { return ListedPorts(ListSystemPorts()); }

std::optional<PortInfo> LocatePort(const std::string& name, const std::string& identity) {
    const std::optional<int> number = ComNumber(name);
    if (!number) return std::nullopt;
    for (PortInfo& port : ListPorts()) {
        // Another adapter under the number now is not the one the operator chose.
        if (port.number == *number && (identity.empty() || identity == port.identity)) return port;
    }
    PortInfo absent;
    absent.number = *number;
    absent.name = ComName(*number);
    absent.identity = identity;
    absent.path = absent.name;
    absent.state = PortState::Absent;
    absent.reason = identity.empty() ? kNoSuchDevice : "not plugged in";
    return absent;
}

void DiagnosePort(PortInfo& port, long openStatus) {
    port.holders.clear();
    port.reason.clear();
    port.state = PortState::Free;
    if (ComNumber(port.name)) {
        // Still in the system's list, or gone (unplugged).
        const std::optional<PortInfo> now = LocatePort(port.name, port.identity);
        if (now && now->state == PortState::Absent) {
            port.state = PortState::Absent;
            port.reason = now->reason;
            return;
        }
    } else if (port.path.rfind("\\\\", 0) != 0) {
        // A path of the file system: a file or a folder is no serial port. Asking for the
        // attributes of a file opens no device.
        const DWORD attributes = GetFileAttributesA(port.path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            port.state = PortState::Absent;
            port.reason = kNoSuchDevice;
            return;
        }
        if ((attributes & FILE_ATTRIBUTE_DEVICE) == 0) {
            port.state = PortState::Unusable;
            port.reason = kNotASerialPort;
            return;
        }
    }
    if (openStatus != 0) {
        const auto error = static_cast<DWORD>(openStatus);
        ExplainOpenError(port, error, SystemErrorText(error));
    }
}

// Plugging in is announced to windows by WM_DEVICECHANGE; there is no descriptor to wait on.
PortWatch::PortWatch() = default;
PortWatch::~PortWatch() = default;
bool PortWatch::TakeChanges() { return false; }

ScopedSystemRoot::ScopedSystemRoot(std::string root) : m_previous(std::move(root)) {}
ScopedSystemRoot::~ScopedSystemRoot() = default;

}  // namespace serial
