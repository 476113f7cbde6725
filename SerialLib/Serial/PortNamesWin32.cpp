// COM names on Windows: the system's own devices.
#include "SerialLib/Serial/PortNames.h"

std::string ResolvePortName(const char* name) {
    const std::string text = name != nullptr ? name : "";
    if (serial::ComNumber(text)) return "\\\\.\\" + text;
    return text;
}
