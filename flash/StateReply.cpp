// Reading the numbers out of the bootloaders' state and checksum replies.
#include "flash/StateReply.h"

#include <climits>
#include <cstdlib>

#include "flash/IntelHexRecord.h"
#include "link/BootloaderProtocol.h"

namespace pellorin {
namespace {

// The number at `position` read as the C library's atoi does (blanks, a sign, then digits up to
// the first non-digit), within the line only, saturating at the limits of long long (strtoll
// saturates where atoi's result is undefined).
long long DecimalAt(const std::string& line, std::size_t position) {
    if (position >= line.size()) return 0;
    return std::strtoll(line.c_str() + position, nullptr, 10);
}

// The state is an int: a reply such as ST4294967299 must not wrap round into state 3.
int StateAt(const std::string& line) {
    const long long state = DecimalAt(line, 2);
    if (state > INT_MAX) return INT_MAX;
    if (state < INT_MIN) return INT_MIN;
    return static_cast<int>(state);
}

}  // namespace

std::optional<StateReply> ParseDspStateReply(const std::string& line) {
    if (!line.starts_with(protocol::kStateReply)) return std::nullopt;
    return StateReply{StateAt(line), DecimalAt(line, 4)};
}

std::optional<StateReply> ParseMcuStateReply(const std::string& line) {
    if (!line.starts_with(protocol::kStateReply)) return std::nullopt;
    return StateReply{StateAt(line), static_cast<std::int64_t>(FourHexDigits(line, 4))};
}

std::optional<std::uint16_t> ParseSumReply(const std::string& line) {
    if (line.size() < protocol::kSumReplyLength || !line.starts_with(protocol::kSumReply))
        return std::nullopt;
    return static_cast<std::uint16_t>(FourHexDigits(line, 3) & 0xFFFFu);
}

}  // namespace pellorin
