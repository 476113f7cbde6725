// The port list's entries from the port catalogue.
#include "app/PortList.h"

#include "SerialLib/Serial/PortNames.h"
#include "platform/Trace.h"

namespace pellorin {

void FormatPortPath(std::string& path, int number) { path = PortDevicePath(number); }

std::string PortName(int number) { return "COM" + std::to_string(number); }

PresentPorts FindPresentPorts() {
    PresentPorts ports;
    for (serial::PortInfo& port : serial::ListPorts()) {
        if (port.state == serial::PortState::Free) {
            ports.usable.push_back(std::move(port));
            continue;
        }
        platform::Tracef("FillPortList - %s (%s): %s\n", port.name.c_str(),
                         port.Description().c_str(), port.reason.c_str());
        ports.refused.push_back(std::move(port));
    }
    return ports;
}

std::string NoPortMessage(const std::vector<serial::PortInfo>& refused) {
    std::string text = "Canot find serial interface!";
    for (const serial::PortInfo& port : refused)
        text += "\n" + port.name + " (" + port.Description() + "): " + port.reason;
    return text;
}

}  // namespace pellorin
