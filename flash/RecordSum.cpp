// Record word sum and hex digit conversion.
#include "flash/RecordSum.h"

namespace pellorin {
namespace {

std::uint8_t DigitAt(const std::string& line, std::size_t position) {
    return HexDigitValue(position < line.size() ? line[position] : '\0');
}

}  // namespace

std::uint8_t HexDigitValue(char character) {
    if (character >= '0' && character <= '9') return static_cast<std::uint8_t>(character - '0');
    if (character >= 'A' && character <= 'F')
        return static_cast<std::uint8_t>(character - 'A' + 10);
    if (character >= 'a' && character <= 'f')
        return static_cast<std::uint8_t>(character - 'a' + 10);
    return 35;
}

std::uint32_t FourHexDigits(const std::string& text, std::size_t position) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value * 16 + DigitAt(text, position + i);
    return value;
}

unsigned RecordWordSum(const std::string& line) {
    const unsigned byteCount = (DigitAt(line, 1) * 16u + DigitAt(line, 2)) & 0xFFu;
    std::uint32_t sum = 0;
    // A counter wide enough for every byte count: an 8-bit one never reaches 2 * LL above 127.
    for (std::size_t k = 0; k < 2u * byteCount; k += 4) sum += FourHexDigits(line, 9 + k);
    return sum & 0xFFFFu;
}

}  // namespace pellorin
