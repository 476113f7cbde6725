// Where a trace line goes on this system (one backend per OS). Called with the sink's lock held,
// so lines from several threads never interleave.
#pragma once

namespace platform {

void WriteTraceLine(const char* line);

}  // namespace platform
