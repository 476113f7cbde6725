// Where a trace line goes on this system (one backend per OS). Called with the sink's lock held,
// so lines from several threads never interleave.
#pragma once

namespace platform {

// `toStandardError`: the line also goes to standard error (it was asked for).
void WriteTraceLine(const char* line, bool toStandardError);

}  // namespace platform
