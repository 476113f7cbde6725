// The COM numbers bound to port identities, remembered in a plain text file of the user's
// settings, $XDG_CONFIG_HOME/pellorin/com-ports (~/.config/pellorin/com-ports when the variable is
// not set): one binding a line, "COM<n> <identity>", the oldest binding first; lines beginning
// with '#' and lines that do not parse are ignored. The window and pellorin-cli share the file.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace serial {

struct PortBinding {
    int number = 0;
    std::string identity;
};

class PortBindings {
  public:
    // The file above; "" when neither XDG_CONFIG_HOME nor HOME is set.
    [[nodiscard]] static std::string DefaultPath();

    explicit PortBindings(std::string path = DefaultPath()) : m_path(std::move(path)) {}

    // Reads the file; a missing file holds no bindings. False when it exists but cannot be read.
    bool Load();
    // Writes the file whole (a new file renamed over the old one), making its folder. False when
    // it cannot be written; the bindings still hold for this process.
    bool Save() const;

    [[nodiscard]] std::optional<int> NumberOf(const std::string& identity) const;
    [[nodiscard]] std::optional<std::string> IdentityOf(int number) const;
    // Gives `identity` the lowest number from first to last that no identity has. When none is
    // left, the number of the oldest binding whose identity is not in `present` is given again.
    // nullopt when every number belongs to a present identity.
    std::optional<int> Bind(const std::string& identity, int first, int last,
                            const std::set<std::string>& present);

    [[nodiscard]] const std::vector<PortBinding>& All() const { return m_bindings; }
    [[nodiscard]] const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
    std::vector<PortBinding> m_bindings;
};

}  // namespace serial
