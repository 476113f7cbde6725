// The port catalogue on Windows: the COM numbers are the system's own and stay with their adapter
// (Windows binds them to the device), so nothing is bound here; the identity of a port is its
// system device name. ListPorts reads the system's list and opens nothing; the window's list and
// a job's look at its own port open the device as the port list has always done it (PortProbe.h):
// with no access asked for and no sharing, closed at once, which the system refuses while another
// program has the port.
#include <windows.h>

#include <cstdio>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/PortProbe.h"
#include "SerialLib/Serial/SystemPorts.h"

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

PortProbe ProbeComPort(int number) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\com%d", number);
    PortProbe probe;
    const HANDLE port =
        CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        probe.error = GetLastError();
        probe.errorText = SystemErrorText(probe.error);
        return probe;
    }
    probe.opened = true;
    probe.characterDevice = GetFileType(port) == FILE_TYPE_CHAR;
    CloseHandle(port);
    return probe;
}

// The number of a COM name ("COM3", any case, 0 to 99); nullopt for any other name.
std::optional<int> ComNameNumber(const std::string& name) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return std::nullopt;
    const std::string digits = name.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 2)
        return std::nullopt;
    return std::stoi(digits);
}

}  // namespace

std::vector<PortInfo> ListPorts() {
    // The system's list as it is, each port taken as free: nothing is opened.
    std::vector<PortInfo> ports;
    for (const SystemPort& system : ListSystemPorts()) {
        const auto listed = [](int) { return PortProbe{true, true, 0, ""}; };
        if (auto port = ProbedPort(system.number, {system}, listed)) ports.push_back(*port);
    }
    return ports;
}

std::vector<PortInfo> ProbedComPorts() { return ProbedPorts(ListSystemPorts(), ProbeComPort); }

std::optional<PortInfo> LocatePort(const std::string& name, const std::string& identity) {
    const std::optional<int> number = ComNameNumber(name);
    if (!number) return std::nullopt;
    std::optional<PortInfo> port = ProbedPort(*number, ListSystemPorts(), ProbeComPort);
    // Another adapter under the number now is not the one the operator chose.
    if (port && (identity.empty() || identity == port->identity)) return port;
    PortInfo absent;
    absent.number = *number;
    absent.name = "COM" + name.substr(3);
    absent.identity = identity;
    absent.path = absent.name;
    absent.state = PortState::Absent;
    absent.reason = "not plugged in";
    return absent;
}

void DiagnosePort(PortInfo& port) {
    // After a failed open: a look at the device again says whether another program has it or
    // whether it is gone.
    const std::optional<PortInfo> now = LocatePort(port.name, port.identity);
    if (!now || now->state == PortState::Absent) {
        port.state = PortState::Absent;
        port.reason = "the device is gone (unplugged?)";
        return;
    }
    port.state = now->state;
    port.reason = now->reason;
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
    if (serial::ComNameNumber(text)) return "\\\\.\\" + text;
    return text;
}
