// Trace lines on Linux: standard error.
#include <cstdio>

#include "platform/TraceSink.h"

namespace platform {

void WriteTraceLine(const char* line) { std::fputs(line, stderr); }

}  // namespace platform
