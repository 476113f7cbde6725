// COM names on Linux: the PELLORIN_COM_DIR folder, or the adapter bound to the number.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "SerialLib/Serial/PortCatalog.h"
#include "SerialLib/Serial/PortNames.h"

namespace serial {

std::string ComDirectory() {
    const char* dir = std::getenv("PELLORIN_COM_DIR");
    if (dir == nullptr || *dir == '\0') return {};
    std::error_code error;
    return std::filesystem::is_directory(dir, error) ? std::string(dir) : std::string();
}

}  // namespace serial

std::string PortDevicePath(int number) {
    if (const std::string dir = serial::ComDirectory(); !dir.empty()) {
        if (number < 0) return "";
        const std::string path = dir + "/com" + std::to_string(number);
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? path : "";
    }
    // The number is bound to an adapter (PortCatalog.h): its node now, wherever it is plugged in.
    const auto port = serial::LocatePort(serial::ComName(number));
    return port && port->state != serial::PortState::Absent ? port->path : "";
}

std::string ResolvePortName(const char* name) {
    const std::string text = name ? name : "";
    if (const auto number = serial::ComNumber(text)) return PortDevicePath(*number);
    return text;
}
