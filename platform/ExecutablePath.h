// The full path of the running program, which the job runner looks beside for the images
// (one backend per OS).
#pragma once

#include <string>

namespace platform {

// "" when the system cannot tell.
[[nodiscard]] std::string ExecutablePath();

}  // namespace platform
