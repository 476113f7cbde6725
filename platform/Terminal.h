// The program's standard output as a terminal, for a command that draws a live status below its
// log when a person watches it: one backend file per system (a terminal device on POSIX, a
// console on Windows).
#pragma once

#include <cstddef>

namespace platform {

// True when standard output is a terminal (on Windows: a console, not a file or a pipe).
[[nodiscard]] bool StdoutIsTerminal();

// Makes the terminal on standard output move the cursor and erase lines on the ANSI escape
// sequences, where it does not by itself (a Windows console takes them once virtual-terminal
// processing is on); false when it cannot, and a status is then drawn with '\r' alone.
[[nodiscard]] bool EnableTerminalEscapes();

// The width of the terminal on standard output in columns; 80 when it is not known.
[[nodiscard]] std::size_t TerminalColumns();

// A reader that goes away (a closed pipe) ends the output, not the program: on POSIX SIGPIPE is
// ignored (writes then fail with EPIPE); Windows has no such signal.
void IgnoreBrokenPipe();

}  // namespace platform
