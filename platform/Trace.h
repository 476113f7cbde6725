// Diagnostic trace lines: one line per failure path, written in every build to standard error
// (and, on Windows, to the debugger's output too).
// Tests capture them with TraceCapture.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Writes one trace line (the text normally ends in "\n" already; one is added if it does not).
void Trace(const char* text);
// printf-style form for the traces that carry values.
#if defined(__GNUC__)
void Tracef(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void Tracef(const char* format, ...);
#endif

// While one exists, every trace line is also recorded here (from every thread).
class TraceCapture {
  public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    [[nodiscard]] std::vector<std::string> Lines() const;
    [[nodiscard]] bool Contains(const std::string& line) const;
    [[nodiscard]] int Count(const std::string& line) const;
    void Clear();
};

}  // namespace platform
