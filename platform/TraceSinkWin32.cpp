// Trace lines on Windows: the debugger's output, as the Win32 serial classes have always
// written them, and standard error for a console program and its logs when asked for.
#include <cstdio>

#include "platform/TraceSink.h"
#include "platform/Win32Types.h"

namespace platform {

void WriteTraceLine(const char* line, bool toStandardError) {
    OutputDebugStringA(line);
    if (toStandardError) std::fputs(line, stderr);
}

}  // namespace platform
