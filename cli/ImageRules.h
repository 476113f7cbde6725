// What the command line asks of an image beyond the engine's own check (flash/ImageCheck.h).
#pragma once

#include <string>

#include "flash/ImageCheck.h"

namespace pellorin::cli {

// An update of the DSP needs its verification record: without it the DSP is never asked for its
// sum and a damaged transfer would be reported as a success. Refuses such an image (sets
// facts.Failure) when it has passed the engine's check.
void RequireVerificationRecord(ImageFacts& facts);

// The line that says why an image is refused, e.g. "dsp.hex line 3: record checksum is 3C,
// expected 4A" or "dsp.hex: is a folder, not a file"; "" when it passed.
[[nodiscard]] std::string RefusalLine(const std::string& path, const ImageFacts& facts);

}  // namespace pellorin::cli
