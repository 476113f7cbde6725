// How long an image takes on a line that cannot be sped up (a raw TCP port stays at the contact
// speed): the bytes of every block command and its acknowledgement at 10 bits a byte.
#pragma once

#include <cstdint>
#include <string>

namespace pellorin {

// Seconds on the line at `baud` for an image of `bytes` bytes in `lines` lines: each line goes
// out as one block command (its record without CR LF, a 7-character block prefix and a CR) and
// comes back as a 9-byte acknowledgement. Erase time and the device's own pauses are not counted.
[[nodiscard]] std::uint64_t LineSeconds(std::uint64_t bytes, std::uint64_t lines, unsigned baud);

// The operator's line for the image at `path` at 2400 baud; "" when the file cannot be read.
[[nodiscard]] std::string ContactSpeedEstimate(const std::string& path);

}  // namespace pellorin
