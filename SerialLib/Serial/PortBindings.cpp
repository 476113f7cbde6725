// Reading and writing the COM number bindings.
#include "SerialLib/Serial/PortBindings.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "SerialLib/Serial/PortNames.h"

namespace serial {
namespace fs = std::filesystem;

std::string PortBindings::DefaultPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config != nullptr && *config == '/') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        folder = std::string(home) + "/.config";
    } else {
        return {};
    }
    return folder + "/pellorin/com-ports";
}

bool PortBindings::Load() {
    m_bindings.clear();
    if (m_path.empty()) return true;
    std::ifstream file(m_path);
    if (!file) {
        std::error_code error;
        return !fs::exists(m_path, error);
    }
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, identity;
        if (!(fields >> name >> identity)) continue;
        const std::optional<int> number = ComNumber(name);
        if (!number) continue;
        // A number or an identity bound twice keeps its first binding.
        if (IdentityOf(*number) || NumberOf(identity)) continue;
        m_bindings.push_back({*number, identity});
    }
    return true;
}

bool PortBindings::Save() const {
    if (m_path.empty()) return false;
    std::error_code error;
    fs::create_directories(fs::path(m_path).parent_path(), error);
    const std::string temporary = m_path + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        if (!file) return false;
        file << "# COM numbers of the serial adapters Pellorin has seen: COM<n> <identity>.\n"
                "# Edit or delete a line to give a number to another adapter.\n";
        for (const PortBinding& binding : m_bindings)
            file << ComName(binding.number) << ' ' << binding.identity << '\n';
        file.flush();
        if (!file) return false;
    }
    fs::rename(temporary, m_path, error);
    return !error;
}

std::optional<int> PortBindings::NumberOf(const std::string& identity) const {
    for (const PortBinding& binding : m_bindings)
        if (binding.identity == identity) return binding.number;
    return std::nullopt;
}

std::optional<std::string> PortBindings::IdentityOf(int number) const {
    for (const PortBinding& binding : m_bindings)
        if (binding.number == number) return binding.identity;
    return std::nullopt;
}

std::optional<int> PortBindings::Bind(const std::string& identity, int first, int last,
                                      const std::set<std::string>& present) {
    if (const auto bound = NumberOf(identity)) return bound;
    for (int number = first; number <= last; ++number) {
        if (!IdentityOf(number)) {
            m_bindings.push_back({number, identity});
            return number;
        }
    }
    for (auto it = m_bindings.begin(); it != m_bindings.end(); ++it) {
        if (it->number < first || it->number > last || present.count(it->identity)) continue;
        const int number = it->number;
        m_bindings.erase(it);
        m_bindings.push_back({number, identity});
        return number;
    }
    return std::nullopt;
}

}  // namespace serial
