// Texts from the system on Linux: UTF-8 as they come.
#include "platform/SystemText.h"

namespace platform {

bool SystemTextIsUtf8() { return true; }

std::string SystemTextToUtf8(const std::string& text) { return text; }

}  // namespace platform
