// openpty-based pair; the master is opened non-blocking and close-on-exec.
#include "sim/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/LineRates.h"

namespace sim {

PseudoTerminal::PseudoTerminal() {
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    termios settings{};
    if (tcgetattr(slave, &settings) == 0) {
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&settings, B2400);
        tcsetattr(slave, TCSANOW, &settings);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_master = master;
    m_slave = slave;
    m_slavePath = name;
}

PseudoTerminal::~PseudoTerminal() {
    if (m_master >= 0) close(m_master);
    if (m_slave >= 0) close(m_slave);
}

unsigned PseudoTerminal::SlaveBaud() const {
    termios settings{};
    if (m_slave < 0 || tcgetattr(m_slave, &settings) != 0) return 0;
    return platform::RateForSpeed(cfgetospeed(&settings));
}

int PseudoTerminal::SlaveStopBits() const {
    termios settings{};
    if (m_slave < 0 || tcgetattr(m_slave, &settings) != 0) return 0;
    return (settings.c_cflag & CSTOPB) ? 2 : 1;
}

void PseudoTerminal::HangUp() {
    if (m_master >= 0) close(m_master);
    m_master = -1;
}

bool PseudoTerminal::WriteMaster(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd pfd{m_master, POLLOUT, 0};
            poll(&pfd, 1, 100);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

std::string PseudoTerminal::ReadMaster(int timeoutMs, std::size_t until) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_master >= 0) {
        char buffer[512];
        const ssize_t n = read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
            if (until != 0 && data.size() >= until) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;  // the slave side is gone
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{m_master, POLLIN, 0};
        poll(&pfd, 1, static_cast<int>(left.count()));
    }
    return data;
}

bool PseudoTerminal::LinkAs(const std::string& linkPath) const {
    std::remove(linkPath.c_str());
    return symlink(m_slavePath.c_str(), linkPath.c_str()) == 0;
}

}  // namespace sim
