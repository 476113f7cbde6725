// The bootloaders' reply lines that carry numbers: the state reply to an entry command and the
// checksum reply to "SUM". Each takes one reply line, its carriage return already removed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pellorin {

struct StateReply {
    int state = 0;
    std::int64_t resumeBlock = 0;
};

// "ST<state>_<block>" from the DSP: the state is the decimal number from position 2, the block
// the decimal number from position 4 (0 when absent), each read up to its first non-digit. A
// number too large for its type saturates rather than wrapping round into another value.
// Nothing when the line does not begin with "ST".
[[nodiscard]] std::optional<StateReply> ParseDspStateReply(const std::string& line);

// "ST<state>_<block>" from the MCU: the state as for the DSP, the block exactly four hex digits
// at positions 4-7, a missing or non-hex character counting 35 (a bare "ST3" gives 152915).
[[nodiscard]] std::optional<StateReply> ParseMcuStateReply(const std::string& line);

// "SUM" and the device's 16-bit sum in four hex digits (either case) at positions 3-6. Nothing
// when the line is shorter than 7 characters or does not begin with "SUM".
[[nodiscard]] std::optional<std::uint16_t> ParseSumReply(const std::string& line);

}  // namespace pellorin
