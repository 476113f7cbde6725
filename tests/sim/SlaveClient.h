// A tiny stand-in for the tool's port in the simulator's tests: opens the slave side, sets the
// rate and stop bits, writes commands and reads the device's replies.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace simtest {

class SlaveClient {
  public:
    explicit SlaveClient(const std::string& path)
        : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        SetLine(B2400, 1);
    }
    ~SlaveClient() {
        if (m_fd >= 0) close(m_fd);
    }
    SlaveClient(const SlaveClient&) = delete;
    SlaveClient& operator=(const SlaveClient&) = delete;

    bool Ok() const { return m_fd >= 0; }

    void SetLine(speed_t speed, int stopBits) {
        termios settings{};
        if (m_fd < 0 || tcgetattr(m_fd, &settings) != 0) return;
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        if (stopBits == 2)
            settings.c_cflag |= CSTOPB;
        else
            settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        cfsetspeed(&settings, speed);
        tcsetattr(m_fd, TCSANOW, &settings);
    }

    bool Send(const std::string& bytes) {
        return write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until `lines` CRs have arrived or timeoutMs real milliseconds passed.
    std::string ReadLines(int lines = 1, int timeoutMs = 3000) {
        return Read(timeoutMs, [lines](const std::string& data) {
            int crs = 0;
            for (const char c : data) crs += c == '\r';
            return crs >= lines;
        });
    }
    // Everything that arrives within timeoutMs real milliseconds.
    std::string ReadFor(int timeoutMs) {
        return Read(timeoutMs, [](const std::string&) { return false; });
    }
    // Reads until at least `count` bytes arrived (or the time-out).
    std::string ReadBytes(std::size_t count, int timeoutMs = 3000) {
        return Read(timeoutMs, [count](const std::string& data) { return data.size() >= count; });
    }
    // Sends a command and returns its reply line(s).
    std::string Ask(const std::string& command, int lines = 1) {
        Send(command);
        return ReadLines(lines);
    }
    // True when the other side has gone (a read reports a hang-up or an error).
    bool HungUp(int timeoutMs = 2000) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return false;
        char byte;
        return (pfd.revents & (POLLHUP | POLLERR)) != 0 || read(m_fd, &byte, 1) <= 0;
    }

  private:
    template <typename Done>
    std::string Read(int timeoutMs, Done done) {
        std::string data;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done(data)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[1024];
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n <= 0) break;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }

    int m_fd;
};

}  // namespace simtest
