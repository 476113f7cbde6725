// The tool's version as the build found it: `git describe` when the build was configured from a
// git checkout, else the project's version.
#pragma once

#include <string>

namespace pellorin {

[[nodiscard]] std::string ToolVersion();

}  // namespace pellorin
