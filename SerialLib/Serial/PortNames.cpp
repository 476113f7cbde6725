// Port numbering from PELLORIN_COM_DIR or from /sys/class/tty, and the serial layer's probe.
#include "SerialLib/Serial/PortNames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "SerialLib/Serial/PortCatalog.h"

namespace fs = std::filesystem;

namespace {

constexpr int PORT_UNKNOWN_TYPE = 0;

std::optional<std::string> ComDirectory() {
    const char* dir = std::getenv("PELLORIN_COM_DIR");
    if (dir == nullptr || *dir == '\0') return std::nullopt;
    std::error_code error;
    if (!fs::is_directory(dir, error)) return std::nullopt;
    return std::string(dir);
}

// The number after `prefix` when the whole rest of `name` is digits.
std::optional<int> NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    int number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
        if (number > 100000) return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// The kernel registers a fixed number of 8250 placeholders whether or not a UART is there; their
// port type (TIOCGSERIAL, also shown as the sysfs attribute "type") is PORT_UNKNOWN. The
// attribute answers without opening the device, which would toggle its modem lines; a kernel
// without it has the driver's table (/proc/tty/driver/serial, "1: uart:unknown ..."), which only
// root may read. When neither tells, the UART is listed and a job finds out.
bool UartPresent(const fs::path& classEntry, const std::string& name) {
    std::ifstream typeFile(classEntry / "type");
    int type = -1;
    if (typeFile >> type) return type != PORT_UNKNOWN_TYPE;
    const auto line = NumberAfter(name, "ttyS");
    std::ifstream table("/proc/tty/driver/serial");
    std::string entry;
    while (line && std::getline(table, entry)) {
        if (entry.rfind(std::to_string(*line) + ":", 0) == 0)
            return entry.find("uart:unknown") == std::string::npos;
    }
    return true;
}

}  // namespace

std::vector<std::string> PresentSerialDevices() { return PresentSerialDevices("/sys/class/tty"); }

std::vector<std::string> PresentSerialDevices(const std::string& ttyClassDir) {
    const std::string groups[] = {"ttyS", "ttyUSB", "ttyACM"};
    std::vector<std::pair<int, std::string>> found[3];
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ttyClassDir, error)) {
        const std::string name = entry.path().filename().string();
        for (int g = 0; g < 3; ++g) {
            const auto number = NumberAfter(name, groups[g]);
            if (!number) continue;
            std::error_code linkError;
            const fs::path target = fs::canonical(entry.path(), linkError);
            if (linkError || target.string().find("/devices/virtual/") != std::string::npos) break;
            if (g == 0 && !UartPresent(entry.path(), name)) break;
            found[g].emplace_back(*number, "/dev/" + name);
            break;
        }
    }
    std::vector<std::string> devices;
    for (auto& group : found) {
        std::sort(group.begin(), group.end());
        for (auto& [number, path] : group) devices.push_back(path);
    }
    return devices;
}

std::string PortDevicePath(int number) {
    if (const auto dir = ComDirectory()) {
        if (number < 0) return "";
        const std::string path = *dir + "/com" + std::to_string(number);
        struct stat info {};
        return stat(path.c_str(), &info) == 0 ? path : "";
    }
    // The number is bound to an adapter (PortCatalog.h): its node now, wherever it is plugged in.
    const auto port = serial::LocatePort("COM" + std::to_string(number));
    return port && port->state != serial::PortState::Absent ? port->path : "";
}

std::string ResolvePortName(const char* name) {
    const std::string text = name ? name : "";
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (const auto number = NumberAfter(upper, "COM")) return PortDevicePath(*number);
    return text;
}

int ProbePortError(const std::string& path) {
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

PortProbe ProbePortPath(const std::string& path) {
    switch (ProbePortError(path)) {
        case 0:
            return PortProbe::Available;
        case EACCES:
        case EPERM:
            return PortProbe::NotPermitted;
        case EBUSY:
            return PortProbe::InUse;
        default:
            return PortProbe::Missing;
    }
}
