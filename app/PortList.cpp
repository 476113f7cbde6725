// The port numbers' device paths and names.
#include "app/PortList.h"

#include "SerialLib/Serial/PortNames.h"

namespace pellorin {

void FormatPortPath(std::string& path, int number) { path = PortDevicePath(number); }

std::string PortName(int number) { return "COM" + std::to_string(number); }

}  // namespace pellorin
