// The serial ports the window offers: numbers 0 to 29 whose device is present and may be opened,
// and those that exist but cannot be opened, with the reason.
#pragma once

#include <string>
#include <vector>

#include "SerialLib/Serial/PortCatalog.h"

namespace pellorin {

// Port numbers tried, both included.
constexpr int kFirstPortNumber = serial::kFirstComNumber;
constexpr int kLastPortNumber = serial::kLastComNumber;

// Sets `path` to the device path of port `number` ("" when there is no such port).
void FormatPortPath(std::string& path, int number);

struct PresentPorts {
    std::vector<serial::PortInfo> usable;   // ascending numbers: the list's entries
    std::vector<serial::PortInfo> refused;  // present, but they do not open now (reason set)
};

// The ports as they are now. A refused port is also traced with its reason.
[[nodiscard]] PresentPorts FindPresentPorts();

// "COM<n>", the name the port list shows and the job opens.
[[nodiscard]] std::string PortName(int number);

// "Canot find serial interface!" and, a line each, the ports that exist but could not be opened
// and why.
[[nodiscard]] std::string NoPortMessage(const std::vector<serial::PortInfo>& refused);

}  // namespace pellorin
