// Diagnostic trace lines: one line per failure path, written to standard error (and, on
// Windows, to the debugger's output too). They are for whoever looks into the serial layer, not
// for the operator: the operator's programs (the windows, pellorin-cli) keep them off standard
// error unless the environment variable PELLORIN_DEBUG is set to anything but "" or "0".
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

// From now on standard error gets trace lines only when PELLORIN_DEBUG asks for them: called
// first thing by the programs whose standard error is the operator's.
void TraceOnlyWhenAsked();
// Whether trace lines go to standard error now.
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
