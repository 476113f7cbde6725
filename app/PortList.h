// The port numbers the window tries and their names; the list itself is link/PortChoice.
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

// "COM<n>", the name the port list shows and the job opens.
[[nodiscard]] std::string PortName(int number);

}  // namespace pellorin
