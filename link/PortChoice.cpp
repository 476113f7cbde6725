// The port field's entries and texts from the port catalogue.
#include "link/PortChoice.h"

#include "SerialLib/Serial/RemotePortHistory.h"
#include "SerialLib/Serial/RemotePortName.h"
#include "platform/Trace.h"

namespace pellorin {

PortChoice::PortChoice(ListPortsFn listPorts, ListPortsFn listRemote)
    : m_listPorts(std::move(listPorts)), m_listRemote(std::move(listRemote)) {}

std::vector<serial::PortInfo> RememberedRemotePorts() {
    std::vector<serial::PortInfo> ports;
    for (const std::string& name : serial::RemotePortHistory().Load()) {
        serial::PortInfo port;
        port.name = port.path = port.device = name;
        port.identity = "remote:" + name;
        port.product = serial::IsRawTcpPortName(name) ? "network serial server, raw TCP"
                                                      : "network serial server, RFC 2217";
        ports.push_back(std::move(port));
    }
    return ports;
}

int PortChoice::Refresh(const std::string& keepIdentity) {
    m_entries.clear();
    m_refused.clear();
    for (serial::PortInfo& port : m_listPorts()) {
        if (port.state == serial::PortState::Free) {
            m_entries.push_back(std::move(port));
            continue;
        }
        platform::Tracef("FillPortList - %s (%s): %s\n", port.name.c_str(),
                         port.Description().c_str(), port.reason.c_str());
        m_refused.push_back(std::move(port));
    }
    // The remote ports used last follow the local ones; nothing is connected to for the list.
    for (serial::PortInfo& port : m_listRemote()) m_entries.push_back(std::move(port));
    for (int entry = 0; entry < Count() && !keepIdentity.empty(); ++entry)
        if (m_entries[static_cast<std::size_t>(entry)].identity == keepIdentity) return entry;
    return m_entries.empty() ? -1 : 0;
}

std::string PortChoice::Name(int entry) const {
    return IsEntry(entry) ? m_entries[static_cast<std::size_t>(entry)].name : std::string();
}

std::string PortChoice::Identity(int entry) const {
    return IsEntry(entry) ? m_entries[static_cast<std::size_t>(entry)].identity : std::string();
}

std::string PortChoice::Description(int selected) const {
    if (IsEntry(selected)) return m_entries[static_cast<std::size_t>(selected)].Description();
    std::string text;
    for (const serial::PortInfo& port : m_refused)
        text += (text.empty() ? "" : "\n") + port.name + ": " + port.reason;
    return text;
}

std::string PortChoice::NoPortMessage() const {
    std::string text = "Canot find serial interface!";
    for (const serial::PortInfo& port : m_refused) {
        // Where the path is the name itself (Windows), the description starts with it.
        const std::string what = port.path == port.name
                                     ? port.Description()
                                     : port.name + " (" + port.Description() + ")";
        text += "\n" + what + ": " + port.reason;
    }
    return text;
}

}  // namespace pellorin
