// How the command line names an image it refuses (the rules themselves are flash/ImageCheck.h).
#pragma once

#include <string>

#include "flash/ImageCheck.h"

namespace pellorin::cli {

// The line that says why an image is refused, e.g. "dsp.hex line 3: record checksum is 3C,
// expected 4A" or "dsp.hex: is a folder, not a file"; "" when it passed.
[[nodiscard]] std::string RefusalLine(const std::string& path, const ImageFacts& facts);

}  // namespace pellorin::cli
