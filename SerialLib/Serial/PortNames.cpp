// COM names, the same on every system.
#include "SerialLib/Serial/PortNames.h"

namespace serial {
namespace {

constexpr std::size_t kMostDigits = 6;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::optional<int> ComNumber(std::string_view name) {
    if (name.size() < 4 || name.size() > 3 + kMostDigits) return std::nullopt;
    if (Upper(name[0]) != 'C' || Upper(name[1]) != 'O' || Upper(name[2]) != 'M')
        return std::nullopt;
    int number = 0;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + (c - '0');
    }
    return number;
}

std::optional<int> ListedComNumber(std::string_view name) {
    const std::optional<int> number = ComNumber(name);
    if (!number || *number < kFirstComNumber || *number > kLastComNumber) return std::nullopt;
    return number;
}

std::string ComName(int number) { return "COM" + std::to_string(number); }

}  // namespace serial
