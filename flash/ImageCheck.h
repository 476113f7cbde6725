// The check an image passes before a device is touched: every line that is not blank must be a
// well-formed Intel HEX record (':' first, hex digits only, a byte count that agrees with the
// line's length, a right record checksum, a record type from 00 to 05), and the image must hold
// at least one data record. Blank lines are allowed: they are counted and sent as blocks like
// every other line.
//
// Pure functions over text, so that a command-line check and a fuzz target can call them on a
// buffer or on one line; CheckImageFile reads a file once, line by line, and never holds it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/IntelHexRecord.h"
#include "platform/RegularFile.h"

namespace pellorin {

// The lines covered by one digest of ImageFacts::ChunkDigests.
constexpr std::uint32_t kDigestChunkLines = 256;

enum class LineKind { Blank, Record, Bad };

struct LineCheck {
    LineKind Kind = LineKind::Bad;
    RecordType Type = RecordType::Data;  // record type (Record only)
    std::uint16_t Address = 0;           // load address field (Record only)
    std::uint8_t ByteCount = 0;          // LL (Record only)
    std::string Reason;  // why the line is Bad, e.g. "record checksum is 3C, expected 4A"
};

// Checks one line of an image, given without its line end. A blank line (empty, or only spaces
// and tabs) is Blank.
[[nodiscard]] LineCheck CheckImageLine(std::string_view line);

// [First, End) of the addresses a run of contiguous data records fills, extended addresses
// (record types 02 and 04) applied.
struct AddressRange {
    std::uint64_t First = 0;
    std::uint64_t End = 0;
};

struct ImageFacts {
    bool Opened = true;  // false: the file could not be opened (nothing else is set)
    platform::FileRefusal NotOpened = platform::FileRefusal::None;  // why not
    bool Stopped = false;     // the check ended early on a stop request
    std::uint32_t Lines = 0;  // every line, blank ones included: the image's blocks
    std::uint32_t DataRecords = 0;
    std::uint32_t FailureLine = 0;  // the first bad line, 0 when the failure is not one line's
    std::string Failure;            // "" when the image passed
    // The DSP's verification point: the first record whose address field reads "7FFE", 0 if
    // none; the sum the DSP is asked for there (data records before it) and the sum the MCU is
    // asked for after the last block (every data record), as 16-bit word sums.
    std::uint32_t VerifyLine = 0;
    std::uint16_t SumAtVerifyLine = 0;
    std::uint16_t WholeSum = 0;
    std::vector<AddressRange> Ranges;  // only when asked for (ImageCheckOptions)
    // One digest per kDigestChunkLines lines (the last one possibly shorter), so that the lines
    // read again for programming can be compared with the lines checked here.
    std::vector<std::uint64_t> ChunkDigests;

    [[nodiscard]] bool Passed() const { return Opened && !Stopped && Failure.empty(); }
};

struct ImageCheckOptions {
    bool CollectRanges = false;
    bool CollectDigests = true;
    // Asked every few thousand lines and every 64 KiB; true ends the check early
    // (ImageFacts::Stopped).
    std::function<bool()> StopRequested;
};

// The digest of one chunk's lines, built line by line from kDigestStart.
constexpr std::uint64_t kDigestStart = 0xCBF29CE484222325ull;
[[nodiscard]] std::uint64_t DigestLine(std::uint64_t digest, std::string_view line);

// Feeds an image line by line; Facts() is complete after Finish().
class ImageChecker {
  public:
    explicit ImageChecker(ImageCheckOptions options = {});
    void AddLine(std::string_view line);
    void Finish();
    [[nodiscard]] const ImageFacts& Facts() const { return m_facts; }
    [[nodiscard]] ImageFacts TakeFacts() { return std::move(m_facts); }

  private:
    void AddData(const LineCheck& record);

    ImageCheckOptions m_options;
    ImageFacts m_facts;
    std::uint64_t m_chunkDigest = kDigestStart;
    std::uint32_t m_chunkLines = 0;
    std::uint64_t m_addressBase = 0;  // from the last extended address record
    unsigned m_sum = 0;
};

// Checks an image held in a buffer, lines split as the image reader splits them (LF or CR LF
// ends a line, a last line without its line end counts, a final line end adds no line).
[[nodiscard]] ImageFacts CheckImageText(std::string_view text,
                                        const ImageCheckOptions& options = {});
// Checks the image file at `path`, reading it once.
[[nodiscard]] ImageFacts CheckImageFile(const std::string& path,
                                        const ImageCheckOptions& options = {});

// The DSP's own rule: its image must hold a verification record (address 7FFE), or the DSP is
// never asked for its sum and a damaged transfer would read as a success. Refuses such an image
// (sets facts.Failure) when it has passed the record check.
void RequireVerificationRecord(ImageFacts& facts);

// The line an operator reads when the check failed, e.g.
// "dsp.hex line 1207: record checksum is 3C, expected 4A"; "" when the image passed.
[[nodiscard]] std::string DescribeFailure(const std::string& fileName, const ImageFacts& facts);

}  // namespace pellorin
