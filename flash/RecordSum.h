// The 16-bit word sum of an Intel HEX record, as tool and device compare it after programming.
#pragma once

#include <cstdint>
#include <string>

namespace pellorin {

// '0'-'9', 'A'-'F' and 'a'-'f' give their value; every other character, NUL included, gives 35.
[[nodiscard]] std::uint8_t HexDigitValue(char character);

// The record's data bytes summed in pairs as big-endian 16-bit words (for an odd byte count the
// last word is the last data byte followed by the record's checksum byte), modulo 65536. The
// byte count LL is read from positions 1-2 and the data from position 9. Characters the line does
// not have count as absent (35, as a NUL would), so a short or truncated record never reads past
// its end, and any byte count up to 255 is summed.
[[nodiscard]] unsigned RecordWordSum(const std::string& line);

// Four hex digits from `position` as one 16-bit value; missing characters count 35 each.
[[nodiscard]] std::uint32_t FourHexDigits(const std::string& text, std::size_t position);

}  // namespace pellorin
