// The remote ports used last.
#include "SerialLib/Serial/RemotePortHistory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "SerialLib/Serial/PortBindings.h"
#include "SerialLib/Serial/RemotePortName.h"

namespace serial {

std::string RemotePortHistory::DefaultPath() {
#ifdef _WIN32
    // Windows keeps a user's settings under %APPDATA%.
    if (const char* appData = std::getenv("APPDATA"); appData != nullptr && *appData != '\0')
        return std::string(appData) + "\\Pellorin\\remote-ports";
#endif
    const std::string bindings = PortBindings::DefaultPath();
    if (bindings.empty()) return {};
    return (std::filesystem::path(bindings).parent_path() / "remote-ports").string();
}

std::vector<std::string> RemotePortHistory::Load() const {
    std::vector<std::string> names;
    if (m_path.empty()) return names;
    std::ifstream file(m_path);
    std::string line;
    while (std::getline(file, line) && names.size() < kRememberedRemotePorts) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!ParseRemotePortName(line)) continue;
        if (std::find(names.begin(), names.end(), line) == names.end()) names.push_back(line);
    }
    return names;
}

bool RemotePortHistory::Remember(const std::string& name) const {
    if (m_path.empty() || !ParseRemotePortName(name)) return false;
    std::vector<std::string> names = Load();
    names.erase(std::remove(names.begin(), names.end(), name), names.end());
    names.insert(names.begin(), name);
    if (names.size() > kRememberedRemotePorts) names.resize(kRememberedRemotePorts);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), error);
    const std::string temporary = m_path + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        for (const std::string& remembered : names) file << remembered << "\n";
        if (!file.flush()) return false;
    }
    std::filesystem::rename(temporary, m_path, error);
    return !error;
}

}  // namespace serial
