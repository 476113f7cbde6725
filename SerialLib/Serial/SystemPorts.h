// The COM ports that Windows lists, numbers 0 to 29: from the registry's list of serial devices
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which also names each port's device), or from the DOS
// device names when that list cannot be read. Nothing is opened, so listing never disturbs a
// port another program uses. Wine lists a device for every number of its port map
// (HKLM\Software\Wine\Ports), also for one mapped to nothing: such a number has no device and
// is not listed. The view of the system is a seam, so tests give a made-up one.
#pragma once

#include <string>
#include <utility>
#include <vector>

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
