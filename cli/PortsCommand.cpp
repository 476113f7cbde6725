// pellorin-cli ports: every port the window lists, from the same port catalogue: its COM number
// bound to the adapter's identity, its device, its adapter and whether this user can open it now
// (and if not, why, in the window's words).
#include "SerialLib/Serial/PortCatalog.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "link/PortChoice.h"

namespace pellorin::cli {
namespace {

// Who holds the port, where that could be found: "pid 4242 (minicom)".
std::string HoldersOf(const serial::PortInfo& port) {
    std::string text;
    for (const serial::PortHolder& holder : port.holders) {
        if (!text.empty()) text += ", ";
        text += "pid " + std::to_string(holder.pid) + " (" + holder.program + ")";
    }
    return text;
}

}  // namespace

int RunPortsCommand(const Options& options, std::ostream& out) {
    const std::vector<serial::PortInfo> ports = serial::ListPorts();
    for (const serial::PortInfo& port : ports) {
        if (options.json) {
            const std::string remedy =
                port.state == serial::PortState::NotPermitted ? port.reason : "";
            out << JsonText({{"port", port.name},
                             {"number", port.number},
                             {"identity", port.identity},
                             {"path", port.path},
                             {"device", port.device},
                             {"maker", port.maker},
                             {"product", port.product},
                             {"serial", port.serialNumber},
                             {"state", serial::StateWord(port.state)},
                             {"user", HoldersOf(port)},
                             {"remedy", remedy},
                             {"reason", port.reason}})
                << "\n";
            continue;
        }
        std::string adapter = port.maker;
        if (!port.product.empty()) adapter += (adapter.empty() ? "" : " ") + port.product;
        if (!port.serialNumber.empty()) adapter += " (serial " + port.serialNumber + ")";
        if (adapter.empty()) adapter = "-";
        // The window's reason for a port it cannot use: "in use by minicom (PID 4242)",
        // "permission denied: ... run: sudo usermod -aG dialout $USER, then log in again".
        const std::string state = port.reason.empty() ? serial::StateName(port.state) : port.reason;
        out << port.name << "  " << port.device << "  " << adapter << "  " << state << "\n";
    }
    if (ports.empty() && !options.json) out << "no serial port found\n";
    // The remote ports used last, as the window offers them; listing them connects to nothing.
    for (const serial::PortInfo& port : RememberedRemotePorts()) {
        if (options.json) {
            out << JsonText({{"port", port.name},
                             {"number", -1},
                             {"identity", port.identity},
                             {"path", port.path},
                             {"product", port.product},
                             {"state", "remembered"}})
                << "\n";
            continue;
        }
        out << port.name << "  " << port.product << "  remembered (used last)\n";
    }
    return kExitUpdated;
}

}  // namespace pellorin::cli
