// A self-contained Intel HEX check for the command line: each line's form, the file's form, and
// the facts an engineer wants before flashing (lines, data records, address ranges, the DSP's
// verification line, the sums the device will be asked for).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pellorin::cli {

struct ImageProblem {
    std::size_t line = 0;  // 1-based; 0 for the file as a whole
    std::string reason;
};

struct AddressRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;  // inclusive
};

struct ImageFacts {
    bool readable = false;
    std::size_t lines = 0;
    std::size_t dataRecords = 0;
    std::vector<AddressRange> ranges;  // of the data records, extended addresses applied
    std::size_t verificationLine = 0;  // the first record at address 7FFE; 0 when none
    unsigned dspSum = 0;  // data records before the verification record, modulo 65536
    unsigned mcuSum = 0;  // every data record, modulo 65536
    std::vector<ImageProblem> problems;
    std::size_t moreProblems = 0;  // problems found beyond those listed

    [[nodiscard]] bool Accepted() const { return readable && problems.empty(); }
};

// Reads the file the way the engine does (one line per block, CR LF or LF) and checks it.
[[nodiscard]] ImageFacts CheckImageFile(const std::string& path);
// The same for an image already in memory, one element per line without its line end.
[[nodiscard]] ImageFacts CheckImageLines(const std::vector<std::string>& lines);

// What an update of the DSP needs beyond a sound image: its verification record. Without it the
// DSP is never asked for its sum and a damaged transfer would be reported as a success.
void RequireVerificationRecord(ImageFacts& facts);

}  // namespace pellorin::cli
