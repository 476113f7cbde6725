// Intel HEX record parsing and the word sum, as the device computes them.
#include "sim/HexRecord.h"

namespace sim {
namespace {

int NibbleValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::optional<HexRecord> ParseHexRecord(const std::string& text) {
    if (text.size() < 11 || text[0] != ':' || (text.size() - 1) % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve((text.size() - 1) / 2);
    for (std::size_t i = 1; i + 1 < text.size(); i += 2) {
        const int high = NibbleValue(text[i]);
        const int low = NibbleValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    // Count, two address bytes, type, data, checksum.
    const std::size_t count = bytes[0];
    if (bytes.size() != count + 5) return std::nullopt;
    unsigned total = 0;
    for (const std::uint8_t b : bytes) total += b;
    if ((total & 0xFFu) != 0) return std::nullopt;

    HexRecord record;
    record.address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    record.type = bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(count));
    record.checksum = bytes.back();
    return record;
}

std::uint16_t RecordWordSum(const HexRecord& record) {
    std::uint32_t sum = 0;
    const std::size_t n = record.data.size();
    for (std::size_t i = 0; i < n; i += 2) {
        const std::uint32_t high = record.data[i];
        const std::uint32_t low = (i + 1 < n) ? record.data[i + 1] : record.checksum;
        sum += high << 8 | low;
    }
    return static_cast<std::uint16_t>(sum & 0xFFFFu);
}

}  // namespace sim
