// The version text comes from a header the build generates in its own folder.
#include "console/ToolVersion.h"

#include "pellorin_build_version.h"

namespace pellorin {

std::string ToolVersion() { return PELLORIN_BUILD_VERSION; }

}  // namespace pellorin
