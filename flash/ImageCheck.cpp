// Intel HEX record check and the facts of an image gathered in the same pass.
#include "flash/ImageCheck.h"

#include <cstdio>

#include "flash/ImageFile.h"

namespace pellorin {
namespace {

constexpr std::uint32_t kStopPollLines = 4096;

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

std::string Printable(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7F) return std::string("'") + c + "'";
    char text[16];
    std::snprintf(text, sizeof text, "byte %02X", byte);
    return text;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

LineCheck CheckImageLine(std::string_view line) {
    LineCheck check;
    if (IsBlank(line)) {
        check.Kind = LineKind::Blank;
        return check;
    }
    if (line[0] != ':') {
        check.Reason = "the line does not begin with ':' but with " + Printable(line[0]);
        return check;
    }
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (HexDigit(line[i]) < 0) {
            check.Reason =
                Printable(line[i]) + " at column " + std::to_string(i + 1) + " is not a hex digit";
            return check;
        }
    }
    if (line.size() > kMaxRecordLength) {
        check.Reason = "the line is longer than any record (more than " +
                       std::to_string(kMaxRecordLength) + " characters)";
        return check;
    }
    if (line.size() < kShortestRecord) {
        check.Reason = "the record is cut short: " + std::to_string(line.size()) +
                       " characters, a record has at least " + std::to_string(kShortestRecord);
        return check;
    }
    const unsigned byteCount = HexByteAt(line, kRecordByteCountAt);
    const std::size_t expected = kShortestRecord + 2 * byteCount;
    if (line.size() != expected) {
        check.Reason = "byte count " + Hex2(byteCount) + " needs " + std::to_string(expected) +
                       " characters, the line has " + std::to_string(line.size());
        return check;
    }
    const unsigned expectedChecksum = ExpectedRecordChecksum(line);
    const unsigned checksum = HexByteAt(line, line.size() - 2);
    if (checksum != expectedChecksum) {
        check.Reason =
            "record checksum is " + Hex2(checksum) + ", expected " + Hex2(expectedChecksum);
        return check;
    }
    const unsigned type = HexByteAt(line, kRecordTypeAt);
    if (type > kLastRecordType) {
        check.Reason = "record type " + Hex2(type) + " is not one of 00-05";
        return check;
    }
    // An extended address record carries the two bytes of its base and nothing else; read with
    // another length, its base would be taken from the checksum or from beyond the line.
    const auto recordType = static_cast<RecordType>(type);
    if ((recordType == RecordType::ExtendedSegmentAddress ||
         recordType == RecordType::ExtendedLinearAddress) &&
        byteCount != 2) {
        check.Reason =
            "record type " + Hex2(type) + " needs byte count 02, the record has " + Hex2(byteCount);
        return check;
    }
    check.Kind = LineKind::Record;
    check.Type = recordType;
    check.Address = static_cast<std::uint16_t>(HexByteAt(line, kRecordAddressAt) * 256 +
                                               HexByteAt(line, kRecordAddressAt + 2));
    check.ByteCount = static_cast<std::uint8_t>(byteCount);
    return check;
}

std::uint64_t DigestLine(std::uint64_t digest, std::string_view line) {
    // FNV-1a over the line and a line end, so that lines cannot shift between their neighbours.
    constexpr std::uint64_t kPrime = 0x100000001B3ull;
    for (const char c : line) digest = (digest ^ static_cast<unsigned char>(c)) * kPrime;
    return (digest ^ '\n') * kPrime;
}

ImageChecker::ImageChecker(ImageCheckOptions options) : m_options(std::move(options)) {}

void ImageChecker::AddLine(std::string_view line) {
    ++m_facts.Lines;
    if (m_options.CollectDigests) {
        m_chunkDigest = DigestLine(m_chunkDigest, line);
        if (++m_chunkLines == kDigestChunkLines) {
            m_facts.ChunkDigests.push_back(m_chunkDigest);
            m_chunkDigest = kDigestStart;
            m_chunkLines = 0;
        }
    }
    if (!m_facts.Failure.empty()) return;  // the first failure is the one reported
    const LineCheck check = CheckImageLine(line);
    if (check.Kind == LineKind::Bad) {
        m_facts.Failure = check.Reason;
        m_facts.FailureLine = m_facts.Lines;
        return;
    }
    if (check.Kind == LineKind::Blank) return;
    if (IsVerificationRecord(line) && m_facts.VerifyLine == 0) {
        m_facts.VerifyLine = m_facts.Lines;
        m_facts.SumAtVerifyLine = static_cast<std::uint16_t>(m_sum);
    }
    // The two bytes of an extended address record.
    const auto base = [line] {
        return static_cast<std::uint64_t>(HexByteAt(line, kRecordDataAt) * 256 +
                                          HexByteAt(line, kRecordDataAt + 2));
    };
    switch (check.Type) {
        case RecordType::Data:
            ++m_facts.DataRecords;
            // Summed as the procedures sum it: the DSP leaves out its verification record, the
            // MCU sums every data record (the DSP's point is taken above, before this one).
            m_sum = (m_sum + RecordWordSum(line)) & 0xFFFFu;
            AddData(check);
            break;
        case RecordType::ExtendedSegmentAddress:
            m_addressBase = base() << 4;
            break;
        case RecordType::ExtendedLinearAddress:
            m_addressBase = base() << 16;
            break;
        default:
            break;
    }
}

void ImageChecker::AddData(const LineCheck& record) {
    if (!m_options.CollectRanges || record.ByteCount == 0) return;
    const std::uint64_t first = m_addressBase + record.Address;
    const std::uint64_t end = first + record.ByteCount;
    if (!m_facts.Ranges.empty() && m_facts.Ranges.back().End == first) {
        m_facts.Ranges.back().End = end;
    } else {
        m_facts.Ranges.push_back({first, end});
    }
}

void ImageChecker::Finish() {
    if (m_options.CollectDigests && m_chunkLines > 0) {
        m_facts.ChunkDigests.push_back(m_chunkDigest);
        m_chunkDigest = kDigestStart;
        m_chunkLines = 0;
    }
    m_facts.WholeSum = static_cast<std::uint16_t>(m_sum);
    if (!m_facts.Failure.empty()) return;
    if (m_facts.Lines == 0) {
        m_facts.Failure = "the image is empty";
    } else if (m_facts.DataRecords == 0) {
        m_facts.Failure = "the image holds no data record";
    }
}

ImageFacts CheckImageText(std::string_view text, const ImageCheckOptions& options) {
    ImageChecker checker(options);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        checker.AddLine(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    checker.Finish();
    return checker.TakeFacts();
}

ImageFacts CheckImageFile(const std::string& path, const ImageCheckOptions& options) {
    ImageFile file;
    if (!file.Open(path)) {
        ImageFacts facts;
        facts.Opened = false;
        facts.NotOpened = file.Refusal();
        return facts;
    }
    file.SetStopCheck(options.StopRequested);
    ImageChecker checker(options);
    std::string line;
    const auto stopped = [&checker] {
        ImageFacts facts = checker.TakeFacts();
        facts.Stopped = true;
        return facts;
    };
    // A line longer than any record is bad whatever its tail: it is read but not kept whole.
    while (file.ReadString(line, kMaxRecordLength + 1)) {
        checker.AddLine(line);
        if (options.StopRequested && checker.Facts().Lines % kStopPollLines == 0 &&
            options.StopRequested()) {
            return stopped();
        }
    }
    if (file.Stopped()) return stopped();
    checker.Finish();
    return checker.TakeFacts();
}

void RequireVerificationRecord(ImageFacts& facts) {
    if (facts.Passed() && facts.VerifyLine == 0) {
        facts.Failure =
            "no verification record (address 7FFE): the DSP would never be asked for its sum";
        facts.FailureLine = 0;
    }
}

std::string DescribeFailure(const std::string& fileName, const ImageFacts& facts) {
    if (facts.Failure.empty()) return {};
    if (facts.FailureLine == 0) return fileName + ": " + facts.Failure;
    return fileName + " line " + std::to_string(facts.FailureLine) + ": " + facts.Failure;
}

}  // namespace pellorin
