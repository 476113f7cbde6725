// From the look at a port's device to its state and reason.
#include "SerialLib/Serial/PortProbe.h"

namespace serial {
namespace {

// The Win32 error codes an open of a port's device gives, with their system values.
constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kSharingViolation = 32;

}  // namespace

std::optional<PortInfo> ProbedPort(int number, const std::vector<SystemPort>& system,
                                   const ProbePortFn& probe) {
    const PortProbe look = probe(number);
    if (look.opened && !look.characterDevice) return std::nullopt;
    if (!look.opened && (look.error == kFileNotFound || look.error == kPathNotFound))
        return std::nullopt;

    PortInfo port;
    port.number = number;
    port.name = "COM" + std::to_string(number);
    port.path = port.name;  // the serial layer opens \\.\COMn for a COM name
    for (const SystemPort& listed : system)
        if (listed.number == number) port.device = listed.device;
    // Windows binds the number to the adapter; the device name tells adapters apart where the
    // system names one.
    port.identity = port.device.empty() ? "com:" + port.name : "device:" + port.device;
    if (look.opened) return port;

    if (look.error == kAccessDenied || look.error == kSharingViolation) {
        // Windows opens a serial port for one program at a time and does not say which has it.
        port.state = PortState::InUse;
        port.reason = "in use by another program (the system refused access)";
    } else {
        port.state = PortState::Unusable;
        port.reason =
            "does not open: " + (look.errorText.empty() ? "system error" : look.errorText) +
            " (error " + std::to_string(look.error) + ")";
    }
    return port;
}

std::vector<PortInfo> ProbedPorts(const std::vector<SystemPort>& system, const ProbePortFn& probe) {
    std::vector<PortInfo> ports;
    for (int number = kFirstComNumber; number <= kLastComNumber; ++number)
        if (auto port = ProbedPort(number, system, probe)) ports.push_back(std::move(*port));
    return ports;
}

}  // namespace serial
