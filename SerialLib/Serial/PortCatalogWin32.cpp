// The port catalogue on Windows: the COM numbers are the system's own and stay with their adapter
// (Windows binds them to the device), so nothing is bound here; the identity of a port is its
// system device name. A port is only opened by the job, never while the list is made.
#include <windows.h>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/SystemPorts.h"

namespace serial {
namespace {

PortInfo FromSystemPort(const SystemPort& system) {
    PortInfo port;
    port.number = system.number;
    port.name = "COM" + std::to_string(system.number);
    port.identity = system.device.empty() ? "com:" + port.name : "device:" + system.device;
    port.path = port.name;  // the serial layer opens \\.\COMn for a COM name
    port.device = system.device;
    return port;
}

}  // namespace

std::vector<PortInfo> ListPorts() {
    std::vector<PortInfo> ports;
    for (const SystemPort& system : ListSystemPorts()) ports.push_back(FromSystemPort(system));
    return ports;
}

std::optional<PortInfo> LocatePort(const std::string& name, const std::string& identity) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return std::nullopt;
    const std::string digits = name.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 2)
        return std::nullopt;
    const int number = std::stoi(digits);
    for (const SystemPort& system : ListSystemPorts()) {
        if (system.number != number) continue;
        PortInfo port = FromSystemPort(system);
        if (!identity.empty() && identity != port.identity) break;  // another adapter now
        return port;
    }
    PortInfo absent;
    absent.number = number;
    absent.name = "COM" + digits;
    absent.identity = identity;
    absent.path = absent.name;
    absent.state = PortState::Absent;
    absent.reason = "not plugged in";
    return absent;
}

void DiagnosePort(PortInfo& port) {
    // Windows says why an open failed in the open's own status; the list has no holders to name.
    if (!LocatePort(port.name, port.identity) ||
        LocatePort(port.name, port.identity)->state == PortState::Absent) {
        port.state = PortState::Absent;
        port.reason = "the device is gone (unplugged?)";
    }
}

// Plugging in is announced to windows by WM_DEVICECHANGE; there is no descriptor to wait on.
PortWatch::PortWatch() = default;
PortWatch::~PortWatch() = default;
bool PortWatch::TakeChanges() { return false; }

ScopedSystemRoot::ScopedSystemRoot(std::string root) : m_previous(std::move(root)) {}
ScopedSystemRoot::~ScopedSystemRoot() = default;

}  // namespace serial

// The device a port name opens: a COM name is the system's \\.\COMn, anything else as given.
std::string ResolvePortName(const char* name) {
    const std::string text = name != nullptr ? name : "";
    if (serial::LocatePort(text)) return "\\\\.\\" + text;
    return text;
}
