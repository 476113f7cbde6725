// The command line's image check.
#include "cli/ImageFacts.h"

#include <cstdio>

#include "flash/ImageFile.h"
#include "flash/RecordSum.h"

namespace pellorin::cli {
namespace {

constexpr std::size_t kListedProblems = 20;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

class Checker {
public:
    explicit Checker(ImageFacts& facts) : m_facts(facts) {}

    void Line(const std::string& line) {
        const std::size_t number = ++m_facts.lines;
        if (m_endSeen) {
            Problem(number, "a record after the end-of-file record");
            return;
        }
        if (line.empty()) return Problem(number, "empty line");
        if (line[0] != ':') return Problem(number, "does not begin with ':'");
        if (line.size() < 11) return Problem(number, "too short for a record");
        if ((line.size() - 1) % 2 != 0) return Problem(number, "odd number of hex digits");
        std::vector<unsigned> bytes;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
            const int high = HexValue(line[i]);
            const int low = HexValue(line[i + 1]);
            if (high < 0 || low < 0) return Problem(number, "a character that is not a hex digit");
            bytes.push_back(static_cast<unsigned>(high * 16 + low));
        }
        const unsigned count = bytes[0];
        if (bytes.size() != count + 5) {
            return Problem(number, "the byte count says " + std::to_string(count) + ", the record holds " +
                                       std::to_string(bytes.size() >= 5 ? bytes.size() - 5 : 0));
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
        const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
        if (bytes.back() != expected) {
            return Problem(number, "checksum " + Hex2(bytes.back()) + ", should be " + Hex2(expected));
        }
        const unsigned offset = bytes[1] * 256 + bytes[2];
        const unsigned type = bytes[3];
        const auto word = [&] { return bytes[4] * 256u + bytes[5]; };
        switch (type) {
            case 0x00:
                Data(number, line, offset, count);
                break;
            case 0x01:
                if (count != 0) return Problem(number, "an end-of-file record with data");
                m_endSeen = true;
                break;
            case 0x02:
                if (count != 2) return Problem(number, "an extended segment address needs 2 bytes");
                m_base = word() * 16u;
                break;
            case 0x04:
                if (count != 2) return Problem(number, "an extended linear address needs 2 bytes");
                m_base = word() << 16;
                break;
            case 0x03:
            case 0x05:
                if (count != 4) return Problem(number, "a start address needs 4 bytes");
                break;
            default:
                return Problem(number, "unknown record type " + Hex2(type));
        }
    }

    void End() {
        if (m_facts.lines == 0) return Problem(0, "the file is empty");
        if (m_facts.dataRecords == 0) Problem(0, "no data records");
        if (!m_endSeen) Problem(0, "no end-of-file record (:00000001FF)");
    }

private:
    void Data(std::size_t number, const std::string& line, unsigned offset, unsigned count) {
        ++m_facts.dataRecords;
        // The engine's own tests: the verification point is the record whose address field reads
        // "7FFE", and it is not part of the sum asked for there.
        const bool verification = line.compare(3, 4, "7FFE") == 0;
        if (verification && m_facts.verificationLine == 0) m_facts.verificationLine = number;
        const std::string withCr = line + '\r';
        const unsigned wordSum = RecordWordSum(withCr);
        m_facts.mcuSum = (m_facts.mcuSum + wordSum) & 0xFFFFu;
        if (m_facts.verificationLine == 0) m_facts.dspSum = (m_facts.dspSum + wordSum) & 0xFFFFu;
        if (count == 0) return;
        const std::uint32_t first = m_base + offset;
        const std::uint32_t last = first + count - 1;
        auto& ranges = m_facts.ranges;
        if (!ranges.empty() && ranges.back().last + 1 == first) {
            ranges.back().last = last;
        } else {
            ranges.push_back({first, last});
        }
    }

    void Problem(std::size_t line, std::string reason) {
        if (m_facts.problems.size() < kListedProblems) {
            m_facts.problems.push_back({line, std::move(reason)});
        } else {
            ++m_facts.moreProblems;
        }
    }

    ImageFacts& m_facts;
    std::uint32_t m_base = 0;
    bool m_endSeen = false;
};

}  // namespace

ImageFacts CheckImageFile(const std::string& path) {
    ImageFacts facts;
    ImageFile file;
    if (!file.Open(path)) {
        facts.problems.push_back({0, "cannot be read"});
        return facts;
    }
    facts.readable = true;
    Checker checker(facts);
    std::string line;
    while (file.ReadString(line)) checker.Line(line);
    checker.End();
    return facts;
}

ImageFacts CheckImageLines(const std::vector<std::string>& lines) {
    ImageFacts facts;
    facts.readable = true;
    Checker checker(facts);
    for (const std::string& line : lines) checker.Line(line);
    checker.End();
    return facts;
}

void RequireVerificationRecord(ImageFacts& facts) {
    if (facts.readable && facts.verificationLine == 0) {
        facts.problems.push_back(
            {0, "no verification record (address 7FFE): the DSP would never be asked for its sum"});
    }
}

}  // namespace pellorin::cli
