// The port field of the operator's window without a toolkit: the entries it offers (the ports
// that open now, by number), the ports that exist but do not open and why, the field's tooltip,
// the message of a job button when no port is chosen, and the entry to select when the list is
// made again, so that the selection stays with the same adapter. Both windows fill their port
// field from it; a job opens the chosen entry's adapter by its identity (PortCatalog.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"

namespace pellorin {

// The remote ports used last (RemotePortHistory.h), as entries of the port field.
[[nodiscard]] std::vector<serial::PortInfo> RememberedRemotePorts();

class PortChoice {
  public:
    using ListPortsFn = std::function<std::vector<serial::PortInfo>()>;

    // `listPorts` gives the ports as they are now, `listRemote` the remote ports used last
    // (tests give made-up lists).
    explicit PortChoice(ListPortsFn listPorts = serial::ListPorts,
                        ListPortsFn listRemote = RememberedRemotePorts);

    // Lists the ports again; a port that does not open is traced with its reason. Returns the
    // entry to select: the one of the adapter `keepIdentity` while it is offered, else the first
    // entry, or -1 when there is none.
    int Refresh(const std::string& keepIdentity = {});

    // The entries, ascending by number, and the ports that exist but do not open now.
    [[nodiscard]] const std::vector<serial::PortInfo>& Entries() const { return m_entries; }
    [[nodiscard]] const std::vector<serial::PortInfo>& Refused() const { return m_refused; }
    [[nodiscard]] int Count() const { return static_cast<int>(m_entries.size()); }
    // "COM<n>" of an entry, the text the list shows and the job opens; "" for no entry.
    [[nodiscard]] std::string Name(int entry) const;
    // The adapter behind an entry; "" for no entry.
    [[nodiscard]] std::string Identity(int entry) const;
    // The tooltip of the port field: the selected entry's device and adapter; with no entry
    // selected, the ports that do not open, a line each with why.
    [[nodiscard]] std::string Description(int selected) const;
    // "Canot find serial interface!" and, a line each, the ports that exist but could not be
    // opened, what they are and why.
    [[nodiscard]] std::string NoPortMessage() const;

  private:
    [[nodiscard]] bool IsEntry(int entry) const { return entry >= 0 && entry < Count(); }

    ListPortsFn m_listPorts;
    ListPortsFn m_listRemote;
    std::vector<serial::PortInfo> m_entries;
    std::vector<serial::PortInfo> m_refused;
};

}  // namespace pellorin
