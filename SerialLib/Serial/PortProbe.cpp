// From the system's list to the catalogue's entries, and from a failed open to a reason.
#include "SerialLib/Serial/PortProbe.h"

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
    port.name = "COM" + std::to_string(system.number);
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
