// The ports Windows has, as the window's port list sees them: every number from 0 to 29 is
// looked at by opening its device for a moment with no access asked for and no sharing (the
// system refuses that open while another program has the port, without disturbing it), and what
// the open says becomes the port's state and the reason it cannot be used. The look itself is a
// seam, so this part is portable and tested anywhere; PortCatalogWin32.cpp gives the real one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/SystemPorts.h"

namespace serial {

// What opening a port's device for a moment said.
struct PortProbe {
    bool opened = false;           // the open succeeded (and the device was closed again)
    bool characterDevice = false;  // what opened is a character device, as a serial port is
    unsigned long error = 0;       // the system's error code when it did not open
    std::string errorText;         // the system's text for that code, "" when unknown
};

using ProbePortFn = std::function<PortProbe(int number)>;

// The port numbered `number` as the probe finds it, with its device name from the system's list
// (its identity and description); nullopt when there is no such device. A device that opens but
// is not a character device (Wine keeps a device object for every number it has a registry value
// for, also an empty one) is no port.
[[nodiscard]] std::optional<PortInfo> ProbedPort(int number, const std::vector<SystemPort>& system,
                                                 const ProbePortFn& probe);

// Every number from 0 to 29 through ProbedPort, ascending.
[[nodiscard]] std::vector<PortInfo> ProbedPorts(const std::vector<SystemPort>& system,
                                                const ProbePortFn& probe);

#ifdef _WIN32
// The window's port list on Windows: every number from 0 to 29 looked at on this system. Unlike
// ListPorts (which reads the system's list and opens nothing), this opens each number for a
// moment, so under Wine every number must be mapped before it runs (Wine gives unmapped numbers
// to the machine's /dev/ttyS* ports).
[[nodiscard]] std::vector<PortInfo> ProbedComPorts();
#endif

}  // namespace serial
