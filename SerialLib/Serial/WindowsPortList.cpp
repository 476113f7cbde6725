// Picking the COM ports out of what the system lists, their catalogue entries, and what a failed
// open of one says.
#include "SerialLib/Serial/WindowsPortList.h"

#include <map>
#include <optional>

std::vector<SystemPort> ListSystemPorts(SystemPortView& view) {
    std::map<int, std::string> found;
    std::vector<std::pair<std::string, std::string>> values;
    if (view.SerialComm(values) && !values.empty()) {
        for (const auto& [device, port] : values)
            if (const auto number = serial::ListedComNumber(port))
                found.try_emplace(*number, device);
    } else {
        std::vector<std::string> names;
        if (view.DosDevices(names))
            for (const std::string& name : names)
                if (const auto number = serial::ListedComNumber(name))
                    found.try_emplace(*number, "");
    }
    std::vector<std::pair<std::string, std::string>> wineMap;
    if (view.WinePorts(wineMap)) {
        for (const auto& [name, unixDevice] : wineMap) {
            const auto number = serial::ListedComNumber(name);
            if (number && unixDevice.find_first_not_of(" \t") == std::string::npos)
                found.erase(*number);
        }
    }
    std::vector<SystemPort> ports;
    for (const auto& [number, device] : found) ports.push_back({number, device});
    return ports;
}

namespace serial {
namespace {

// The Win32 error codes an open of a port's device gives, with their system values.
constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kSharingViolation = 32;

}  // namespace

PortInfo ListedPort(const SystemPort& system) {
    PortInfo port;
    port.number = system.number;
    port.name = ComName(system.number);
    port.path = port.name;  // the serial layer opens \\.\COMn for a COM name
    port.device = system.device;
    // Windows binds the number to the adapter; the device name tells adapters apart where the
    // system names one.
    port.identity = port.device.empty() ? "com:" + port.name : "device:" + port.device;
    return port;
}

std::vector<PortInfo> ListedPorts(const std::vector<SystemPort>& system) {
    std::vector<PortInfo> ports;
    for (const SystemPort& listed : system) ports.push_back(ListedPort(listed));
    return ports;
}

void ExplainOpenError(PortInfo& port, unsigned long error, const std::string& errorText) {
    if (error == kFileNotFound || error == kPathNotFound) {
        port.state = PortState::Absent;
        port.reason = kNoSuchDevice;
    } else if (error == kAccessDenied || error == kSharingViolation) {
        // Windows opens a serial port for one program at a time and does not say which has it.
        port.state = PortState::InUse;
        port.reason = "in use by another program (the system refused access)";
    } else {
        port.state = PortState::Unusable;
        port.reason = "does not open: " + (errorText.empty() ? "system error" : errorText) +
                      " (error " + std::to_string(error) + ")";
    }
}

}  // namespace serial
