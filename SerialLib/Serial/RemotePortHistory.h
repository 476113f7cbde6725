// The remote ports used last, newest first, so that the windows offer them again and
// `pellorin-cli ports` lists them: a plain text file beside the COM number bindings,
// $XDG_CONFIG_HOME/pellorin/remote-ports (~/.config/pellorin/remote-ports; on Windows
// %APPDATA%\Pellorin\remote-ports), one name a line.
// Only well-formed names are kept, so no credentials ever reach the file.
#pragma once

#include <string>
#include <vector>

namespace serial {

constexpr std::size_t kRememberedRemotePorts = 8;

class RemotePortHistory {
  public:
    // The file above; "" when neither XDG_CONFIG_HOME nor HOME is set.
    [[nodiscard]] static std::string DefaultPath();
    explicit RemotePortHistory(std::string path = DefaultPath()) : m_path(std::move(path)) {}

    // The names, newest first; none when the file is missing or unreadable.
    [[nodiscard]] std::vector<std::string> Load() const;
    // Puts `name` first (once), keeps the newest kRememberedRemotePorts and writes the file
    // (a new file renamed over the old one). False when it cannot be written.
    bool Remember(const std::string& name) const;

  private:
    std::string m_path;
};

}  // namespace serial
