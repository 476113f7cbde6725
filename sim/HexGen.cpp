// The test image generator.
#include "sim/HexGen.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace sim {
namespace {

constexpr std::uint8_t kData = 0x00;
constexpr std::uint8_t kEndOfFile = 0x01;
constexpr std::uint8_t kExtendedLinear = 0x04;
constexpr std::uint16_t kVerifyAddress = 0x7FFE;

class ByteSource {
  public:
    explicit ByteSource(std::uint32_t seed) : m_state(seed * 2654435761u + 12345u) {}
    std::uint8_t Next() {
        m_state = m_state * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(m_state >> 24);
    }

  private:
    std::uint32_t m_state;
};

std::string ExtendedLinear(std::uint16_t upper) {
    return FormatHexRecord(
        kExtendedLinear, 0,
        {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}

// The upper address half in force for a record placed at `index` (before the line there).
std::uint16_t UpperBefore(const std::vector<std::string>& lines, std::size_t index) {
    for (std::size_t i = index; i-- > 0;) {
        if (lines[i].compare(7, 2, "04") == 0) {
            return static_cast<std::uint16_t>(std::stoul(lines[i].substr(9, 4), nullptr, 16));
        }
    }
    return 0;
}

}  // namespace

std::string FormatHexRecord(std::uint8_t type, std::uint16_t address,
                            const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(data.size()),
                                       static_cast<std::uint8_t>(address >> 8),
                                       static_cast<std::uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned total = 0;
    for (const std::uint8_t b : bytes) total += b;
    bytes.push_back(static_cast<std::uint8_t>(0x100u - (total & 0xFFu)));
    std::string text = ":";
    for (const std::uint8_t b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

std::vector<std::string> MakeHexImageLines(const HexImageOptions& options) {
    if (options.records < 0 || options.dataLength < 1 || options.dataLength > 255 ||
        options.verifyRecordLength < 1 || options.verifyRecordLength > 255 ||
        options.verifyRecordLine < 0) {
        return {};
    }
    ByteSource source(options.seed);
    std::vector<std::string> lines;
    std::uint64_t address = options.startAddress;
    std::uint16_t upper = 0;
    for (int i = 0; i < options.records; ++i) {
        const auto high = static_cast<std::uint16_t>(address >> 16);
        if (high != upper) {
            lines.push_back(ExtendedLinear(high));
            upper = high;
        }
        // A record never crosses a 64 KiB boundary: one that would is cut short there.
        const std::uint64_t toBoundary = 0x10000 - (address & 0xFFFF);
        const auto length = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(options.dataLength), toBoundary));
        std::vector<std::uint8_t> data(length);
        for (std::uint8_t& b : data) b = source.Next();
        lines.push_back(FormatHexRecord(kData, static_cast<std::uint16_t>(address), data));
        address += length;
    }
    if (options.verifyRecordLine > 0) {
        std::vector<std::uint8_t> data(static_cast<std::size_t>(options.verifyRecordLength));
        for (std::uint8_t& b : data) b = source.Next();
        const std::string record = FormatHexRecord(kData, kVerifyAddress, data);
        const std::size_t index =
            std::min(static_cast<std::size_t>(options.verifyRecordLine - 1), lines.size());
        const auto at = lines.begin() + static_cast<std::ptrdiff_t>(index);
        if (UpperBefore(lines, index) == 0) {
            lines.insert(at, record);
        } else {
            // Address 0000:7FFE is reached by setting the upper half to 0 and back again; the
            // group goes in one line earlier so that the record itself stays on its line.
            std::vector<std::string> group = {ExtendedLinear(0), record};
            const std::uint16_t restore = UpperBefore(lines, index - 1);
            if (restore != 0) group.push_back(ExtendedLinear(restore));
            lines.insert(at - 1, group.begin(), group.end());
        }
    }
    if (options.endOfFileRecord) lines.push_back(FormatHexRecord(kEndOfFile, 0, {}));
    return lines;
}

bool WriteHexImage(const std::string& path, const HexImageOptions& options, std::string* error) {
    const std::vector<std::string> lines = MakeHexImageLines(options);
    if (lines.empty() && (options.records != 0 || options.endOfFileRecord)) {
        if (error) *error = "image options out of range";
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        if (error) *error = path + ": cannot be written";
        return false;
    }
    const char* end = options.crlf ? "\r\n" : "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out << lines[i];
        if (i + 1 < lines.size() || options.finalLineEnd) out << end;
    }
    out.flush();
    if (!out) {
        if (error) *error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace sim
