// The COM ports that Windows lists, numbers 0 to 29: from the registry's list of serial devices
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which also names each port's device), or from the DOS
// device names when that list cannot be read. Nothing is opened, so listing never disturbs a
// port another program uses: Windows tells whether another program has a port only to an open,
// and only a job opens a port, the one chosen. Wine lists a device for every number of its port
// map (HKLM\Software\Wine\Ports), also for one mapped to nothing: such a number has no device
// and is not listed.
//
// All of it is portable, so that it is tested anywhere: the view of the system is a seam (tests
// give a made-up one), the listed ports become the catalogue's entries here, and the system error
// of a job's failed open becomes the port's state and the reason it cannot be used.
// PortCatalogWin32.cpp and WindowsPortListWin32.cpp make the system calls.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"

struct SystemPort {
    int number = 0;
    std::string device;  // the system's device name (for example \Device\Serial0), or ""
};

class SystemPortView {
  public:
    virtual ~SystemPortView() = default;
    // The values of the SERIALCOMM key: (value name = device, data = port name). False when the
    // key cannot be read.
    virtual bool SerialComm(std::vector<std::pair<std::string, std::string>>& values) = 0;
    // All DOS device names. False when they cannot be read.
    virtual bool DosDevices(std::vector<std::string>& names) = 0;
    // The values of Wine's port map (value name = "COMn", data = the Unix device, "" for none).
    // False when there is no such map: on Windows itself.
    virtual bool WinePorts(std::vector<std::pair<std::string, std::string>>& values) {
        (void)values;
        return false;
    }
};

// Port numbers from 0 to 29 that the view lists, ascending, each once.
[[nodiscard]] std::vector<SystemPort> ListSystemPorts(SystemPortView& view);

#ifdef _WIN32
// The same from this system's registry and DOS device names.
[[nodiscard]] std::vector<SystemPort> ListSystemPorts();
#endif

namespace serial {

// The port the system lists, with its device name (its identity and description), taken as free.
[[nodiscard]] PortInfo ListedPort(const SystemPort& system);

// Every listed port through ListedPort, ascending (as ListSystemPorts gives them).
[[nodiscard]] std::vector<PortInfo> ListedPorts(const std::vector<SystemPort>& system);

// The state and reason of `port` after its open failed with the system error `error`
// (`errorText`: the system's text for it, "" when unknown).
void ExplainOpenError(PortInfo& port, unsigned long error, const std::string& errorText);

}  // namespace serial
