// Standard output as a terminal device.
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "platform/Terminal.h"

namespace platform {

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

bool EnableTerminalEscapes() { return true; }

std::size_t TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
    return 80;
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace platform
