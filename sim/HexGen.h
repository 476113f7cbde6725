// Test images: valid Intel HEX files with a chosen number of data records, extended linear
// address records where the address passes a 64 KiB boundary, an optional data record at address
// 7FFE on a chosen line, LF or CRLF line ends and a last line with or without its line end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct HexImageOptions {
    int records = 100;               // data records of the image proper (the 7FFE one not counted)
    int dataLength = 16;             // bytes per data record, 1 to 255
    std::uint32_t startAddress = 0;  // address of the first data record
    // 0: no record at 7FFE; n: a data record at address 7FFE is line n of the file (counted from
    // 1, clamped to the lines before the end-of-file record). Where an extended address is in
    // force there, it is set to 0 for this record and restored after it.
    int verifyRecordLine = 0;
    int verifyRecordLength = 2;
    bool crlf = false;
    bool finalLineEnd = true;     // whether the last line ends with its line end
    bool endOfFileRecord = true;  // ":00000001FF" as the last line
    std::uint32_t seed = 1;       // the data bytes are a fixed pseudo-random sequence from this
};

// One record as text, ":LLAAAATT<data>CC" in upper case.
std::string FormatHexRecord(std::uint8_t type, std::uint16_t address,
                            const std::vector<std::uint8_t>& data);

// The image's lines, without line ends. Empty when the options are out of range.
std::vector<std::string> MakeHexImageLines(const HexImageOptions& options);

// Writes the image; false (with `error` set when given) when the options are out of range or the
// file cannot be written.
bool WriteHexImage(const std::string& path, const HexImageOptions& options,
                   std::string* error = nullptr);

}  // namespace sim
