// The LineDriver that talks to the kernel. It needs <linux/serial.h> for serial_struct and the
// counter record, which is why it lives in a file of its own.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "SerialLib/Serial/LineDriver.h"

namespace {

// Runs an ioctl-like call until it is not interrupted; 0 or errno.
template <typename Call>
int Restarting(Call call) {
    for (;;) {
        if (call() == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

class KernelDriver final : public LineDriver {
  public:
    int GetAttributes(int fd, termios& settings) override {
        return Restarting([&] { return tcgetattr(fd, &settings); });
    }
    int SetAttributes(int fd, const termios& settings) override {
        return Restarting([&] { return tcsetattr(fd, TCSANOW, &settings); });
    }
    int GetCounters(int fd, LineCounters& counters) override {
        serial_icounter_struct icount{};
        if (const int error = Restarting([&] { return ioctl(fd, TIOCGICOUNT, &icount); }))
            return error;
        counters.brk = static_cast<std::uint32_t>(icount.brk);
        counters.frame = static_cast<std::uint32_t>(icount.frame);
        counters.parity = static_cast<std::uint32_t>(icount.parity);
        counters.overrun = static_cast<std::uint32_t>(icount.overrun) +
                           static_cast<std::uint32_t>(icount.buf_overrun);
        return 0;
    }
    int GetModemLines(int fd, int& lines) override {
        return Restarting([&] { return ioctl(fd, TIOCMGET, &lines); });
    }
    int SetBreak(int fd, bool on) override {
        return Restarting([&] { return ioctl(fd, on ? TIOCSBRK : TIOCCBRK); });
    }
    int RequestLowLatency(int fd) override {
        serial_struct serial{};
        if (const int error = Restarting([&] { return ioctl(fd, TIOCGSERIAL, &serial); }))
            return error;
        if (serial.flags & ASYNC_LOW_LATENCY) return 0;
        serial.flags |= ASYNC_LOW_LATENCY;
        return Restarting([&] { return ioctl(fd, TIOCSSERIAL, &serial); });
    }
    int GetPortType(int fd, int& type) override {
        serial_struct serial{};
        if (const int error = Restarting([&] { return ioctl(fd, TIOCGSERIAL, &serial); }))
            return error;
        type = serial.type;
        return 0;
    }
};

}  // namespace

std::shared_ptr<LineDriver> KernelLineDriver() {
    static const std::shared_ptr<LineDriver> driver = std::make_shared<KernelDriver>();
    return driver;
}
