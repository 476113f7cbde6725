// The names records are given, recognised the same way on every system.
#include <cctype>

#include "console/RecordsFolder.h"

namespace pellorin {
namespace {

bool Digits(const std::string& text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return false;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

}  // namespace

bool IsRecordName(const std::string& name) {
    // "YYYYMMDD-HHMMSS.mmmZ-" the start in UTC, then the port (letters, digits, '_'), then "-N"
    // for a second record started in the same millisecond, then ".txt".
    constexpr std::size_t kStamp = 21;
    if (!Digits(name, 0, 8) || name.size() < kStamp + 5 || name[8] != '-' || !Digits(name, 9, 6) ||
        name[15] != '.' || !Digits(name, 16, 3) || name[19] != 'Z' || name[20] != '-' ||
        name.compare(name.size() - 4, 4, ".txt") != 0) {
        return false;
    }
    const std::string rest = name.substr(kStamp, name.size() - kStamp - 4);
    const std::size_t dash = rest.find('-');
    const std::string port = rest.substr(0, dash);
    if (port.empty()) return false;
    for (char c : port) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    if (dash == std::string::npos) return true;
    const std::string attempt = rest.substr(dash + 1);
    return !attempt.empty() && Digits(attempt, 0, attempt.size());
}

}  // namespace pellorin
