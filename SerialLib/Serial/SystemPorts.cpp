// Picking the COM ports out of what the system lists.
#include "SerialLib/Serial/SystemPorts.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

namespace {

constexpr int FIRST_PORT = 0;
constexpr int LAST_PORT = 29;

// The number of "COM<n>" (any case), when n is within the tried range.
std::optional<int> ComNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) return std::nullopt;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return std::nullopt;
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    if (number < FIRST_PORT || number > LAST_PORT) return std::nullopt;
    return number;
}

}  // namespace

std::vector<SystemPort> ListSystemPorts(SystemPortView& view) {
    std::map<int, std::string> found;
    std::vector<std::pair<std::string, std::string>> values;
    if (view.SerialComm(values) && !values.empty()) {
        for (const auto& [device, port] : values)
            if (const auto number = ComNumber(port)) found.try_emplace(*number, device);
    } else {
        std::vector<std::string> names;
        if (view.DosDevices(names))
            for (const std::string& name : names)
                if (const auto number = ComNumber(name)) found.try_emplace(*number, "");
    }
    std::vector<std::pair<std::string, std::string>> wineMap;
    if (view.WinePorts(wineMap)) {
        for (const auto& [name, unixDevice] : wineMap) {
            const auto number = ComNumber(name);
            if (number && unixDevice.find_first_not_of(" \t") == std::string::npos)
                found.erase(*number);
        }
    }
    std::vector<SystemPort> ports;
    for (const auto& [number, device] : found) ports.push_back({number, device});
    return ports;
}
