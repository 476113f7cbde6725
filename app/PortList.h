// The serial ports the window offers: numbers 0 to 29 whose device is present and may be opened.
#pragma once

#include <string>
#include <vector>

namespace pellorin {

// Port numbers tried at start-up, both included.
constexpr int kFirstPortNumber = 0;
constexpr int kLastPortNumber = 29;

// Sets `path` to the device path of port `number` ("" when there is no such port).
void FormatPortPath(std::string& path, int number);

// The numbers of the ports that open now, ascending. A port that exists but that this user may
// not open, or that another program holds, is left out with a trace line saying why and what
// helps.
[[nodiscard]] std::vector<int> FindPresentPorts();

// "COM<n>", the name the port list shows and the job opens.
[[nodiscard]] std::string PortName(int number);

}  // namespace pellorin
