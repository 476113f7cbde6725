// The texts the system hands this program (its command line, file and device names) as UTF-8:
// on Linux they already are; on Windows they are in the ANSI code page, unless that is UTF-8.
#pragma once

#include <string>

namespace platform {

// True when the system's texts are UTF-8 already, so that SystemTextToUtf8 changes nothing.
[[nodiscard]] bool SystemTextIsUtf8();

// `text`, in the system's encoding, as UTF-8.
[[nodiscard]] std::string SystemTextToUtf8(const std::string& text);

}  // namespace platform
