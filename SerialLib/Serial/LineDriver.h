// The seam between the port classes and the tty driver: the line's settings (termios), error
// counters, modem lines, break and low latency go through a LineDriver. The real one talks to the
// kernel; tests put a fake in its place for what a pseudo-terminal cannot show (data bits,
// parity, error counters, modem lines).
#pragma once

#include <termios.h>

#include <cerrno>
#include <cstdint>
#include <memory>

// The driver's receive counters (TIOCGICOUNT); they only ever grow.
struct LineCounters {
    std::uint32_t brk = 0;
    std::uint32_t frame = 0;
    std::uint32_t parity = 0;
    std::uint32_t overrun = 0;  // the UART's overrun plus the tty buffer's
};

// Every call returns 0 or an errno value.
class LineDriver {
  public:
    virtual ~LineDriver() = default;
    virtual int GetAttributes(int fd, termios& settings) = 0;
    // Applies at once (TCSANOW); the caller reads the settings back to learn what took effect.
    virtual int SetAttributes(int fd, const termios& settings) = 0;
    virtual int GetCounters(int fd, LineCounters& counters) = 0;
    // The TIOCM_ bits of the modem lines.
    virtual int GetModemLines(int fd, int& lines) = 0;
    virtual int SetBreak(int fd, bool on) = 0;
    // Asks for ASYNC_LOW_LATENCY; drivers that do not know it refuse.
    virtual int RequestLowLatency(int fd) = 0;
    // The TIOCGSERIAL port type; 0 (PORT_UNKNOWN) for the kernel's placeholder UARTs.
    virtual int GetPortType(int fd, int& type) = 0;
};

// True for the errors of a driver that keeps no counters at all (a pseudo-terminal, many virtual
// ports): that is no failure, and asking again will not change it.
inline bool KeepsNoCounters(int error) {
    return error == ENOTTY || error == EINVAL || error == ENOSYS;
}

// The kernel's driver, shared by every port that was given no other.
std::shared_ptr<LineDriver> KernelLineDriver();
