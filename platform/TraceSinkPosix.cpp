// Trace lines on Linux: standard error, when asked for.
#include <cstdio>

#include "platform/TraceSink.h"

namespace platform {

void WriteTraceLine(const char* line, bool toStandardError) {
    if (toStandardError) std::fputs(line, stderr);
}

}  // namespace platform
