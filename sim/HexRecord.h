// The device's own reading of an Intel HEX record and its 16-bit word sum over the record's data.
// Written apart from the tool's code on purpose, so that a fault on either side shows up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct HexRecord {
    std::uint8_t type = 0;
    std::uint16_t address = 0;
    std::vector<std::uint8_t> data;
    std::uint8_t checksum = 0;  // the record's own checksum byte, as sent
};

// Parses ":LLAAAATT<data>CC" (upper- or lower-case hex). Empty when the text is not one well-formed
// record: a missing ':', a non-hex digit, a length that does not match LL, or a checksum that does
// not make the record's bytes sum to zero.
std::optional<HexRecord> ParseHexRecord(const std::string& text);

// Data bytes summed as big-endian 16-bit words, modulo 65536; with an odd byte count the last word
// is the last data byte followed by the record's checksum byte.
std::uint16_t RecordWordSum(const HexRecord& record);

}  // namespace sim
