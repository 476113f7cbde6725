// Diagnostic trace lines: one line per failure path. They are for whoever looks into the serial
// layer, not for the operator: standard error gets them only when asked for, with the
// environment variable PELLORIN_DEBUG set to anything but "" or "0" (on Windows the debugger's
// output always gets them). Tests capture them with TraceCapture.
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

// Whether trace lines go to standard error: PELLORIN_DEBUG, read at the first trace line.
[[nodiscard]] bool TraceToStandardError();

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
