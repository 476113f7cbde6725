// Intel HEX digits, fields and sums.
#include "flash/IntelHexRecord.h"

#include <array>

namespace pellorin {
namespace {

// Every character's value as a hex digit, -1 for the characters that are none.
constexpr auto kDigitValues = [] {
    std::array<signed char, 256> values{};
    for (auto& value : values) value = -1;
    for (int c = '0'; c <= '9'; ++c)
        values[static_cast<std::size_t>(c)] = static_cast<signed char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        values[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        values[static_cast<std::size_t>(c)] = static_cast<signed char>(c - 'a' + 10);
    return values;
}();

constexpr std::uint8_t kNotADigit = 35;

std::uint8_t DigitAt(std::string_view line, std::size_t position) {
    return HexDigitValue(position < line.size() ? line[position] : '\0');
}

}  // namespace

int HexDigit(char character) { return kDigitValues[static_cast<unsigned char>(character)]; }

std::uint8_t HexDigitValue(char character) {
    const int value = HexDigit(character);
    return value < 0 ? kNotADigit : static_cast<std::uint8_t>(value);
}

std::uint32_t FourHexDigits(std::string_view text, std::size_t position) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value * 16 + DigitAt(text, position + i);
    return value;
}

unsigned HexByteAt(std::string_view record, std::size_t position) {
    return static_cast<unsigned>(HexDigit(record[position]) * 16 + HexDigit(record[position + 1]));
}

unsigned ExpectedRecordChecksum(std::string_view record) {
    const std::size_t end = kRecordDataAt + 2 * HexByteAt(record, kRecordByteCountAt);
    unsigned sum = 0;
    for (std::size_t i = kRecordByteCountAt; i < end; i += 2) sum += HexByteAt(record, i);
    return (0x100u - (sum & 0xFFu)) & 0xFFu;
}

unsigned RecordWordSum(std::string_view line) {
    const unsigned byteCount =
        (DigitAt(line, kRecordByteCountAt) * 16u + DigitAt(line, kRecordByteCountAt + 1)) & 0xFFu;
    std::uint32_t sum = 0;
    // A counter wide enough for every byte count: an 8-bit one never reaches 2 * LL above 127.
    for (std::size_t k = 0; k < 2u * byteCount; k += 4)
        sum += FourHexDigits(line, kRecordDataAt + k);
    return sum & 0xFFFFu;
}

bool IsVerificationRecord(std::string_view line) {
    return line.size() >= kRecordAddressAt + 4 && line.substr(kRecordAddressAt, 4) == "7FFE";
}

bool IsDataRecord(std::string_view line) {
    return line.size() > kRecordTypeAt + 1 && line[kRecordTypeAt + 1] == '0';
}

}  // namespace pellorin
