// Intel HEX records, the one place that knows their layout: ':', the byte count LL, the address
// AAAA, the record type TT, LL data bytes and the record checksum CC, each byte in two hex digits.
// The image check, the procedures' sums and the update record's image facts read records here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pellorin {

// Where a record's fields begin.
inline constexpr std::size_t kRecordByteCountAt = 1;
inline constexpr std::size_t kRecordAddressAt = 3;
inline constexpr std::size_t kRecordTypeAt = 7;
inline constexpr std::size_t kRecordDataAt = 9;
// ':' LL AAAA TT CC: a record without data.
inline constexpr std::size_t kShortestRecord = 11;
// ':' LL AAAA TT, 255 data bytes, CC: no record is longer.
inline constexpr std::size_t kMaxRecordLength = kShortestRecord + 2 * 255;

enum class RecordType : std::uint8_t {
    Data = 0,
    EndOfFile = 1,
    ExtendedSegmentAddress = 2,  // bits 4-19 of the addresses that follow
    StartSegmentAddress = 3,
    ExtendedLinearAddress = 4,  // bits 16-31 of the addresses that follow
    StartLinearAddress = 5,
};
inline constexpr unsigned kLastRecordType = 5;

// A character's value as a hex digit ('0'-'9', 'A'-'F', 'a'-'f'); -1 for every other character.
// The image check reads records this way: a character that is no digit makes a bad record.
[[nodiscard]] int HexDigit(char character);

// The same value, but 35 for every other character, the NUL byte included: the procedures read
// the device's replies this way (a state reply "ST3" without its block number reads 152915), and
// their sums of a record are taken this way. A record that passed the check holds only digits, so
// both readings agree on every record that is sent.
[[nodiscard]] std::uint8_t HexDigitValue(char character);

// Four digits from `position` as one 16-bit value, read as HexDigitValue reads them; characters
// beyond the text count as absent (35).
[[nodiscard]] std::uint32_t FourHexDigits(std::string_view text, std::size_t position);

// Two digits from `position` as one byte, of a record whose digits have been checked.
[[nodiscard]] unsigned HexByteAt(std::string_view record, std::size_t position);

// The checksum a well-formed record ends with: the two's complement of the sum of its bytes from
// LL to the last data byte. `record` has its LL data bytes (checked digits).
[[nodiscard]] unsigned ExpectedRecordChecksum(std::string_view record);

// The 16-bit word sum that tool and device compare after programming: the record's data bytes
// summed in pairs as big-endian 16-bit words (for an odd byte count the last word is the last
// data byte followed by the record's checksum byte), modulo 65536. LL is read from positions 1-2,
// the data from position 9, as HexDigitValue reads them; characters the line does not have count
// as absent, so a short or truncated line never reads past its end, and any byte count up to 255
// is summed.
[[nodiscard]] unsigned RecordWordSum(std::string_view line);

// The DSP's verification point: a record whose address field (characters 3-6) reads "7FFE".
[[nodiscard]] bool IsVerificationRecord(std::string_view line);

// The procedures' test for a data record: the record type's second digit (character 8) is '0',
// which for a record that passed the check means type 00. A line too short to have it is not a
// data record; it is still sent as a block like every other line.
[[nodiscard]] bool IsDataRecord(std::string_view line);

}  // namespace pellorin
