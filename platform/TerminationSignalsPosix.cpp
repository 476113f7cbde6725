// SIGINT, SIGTERM and SIGHUP through a signalfd.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/TerminationSignals.h"

namespace platform {

int WatchTerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

TerminationWatch::TerminationWatch() : m_fd(WatchTerminationSignals()) { m_watching = m_fd >= 0; }

TerminationWatch::~TerminationWatch() {
    if (m_fd >= 0) close(m_fd);
}

bool TerminationWatch::Watching() const { return m_watching; }

bool TerminationWatch::Wait(int timeoutMs) {
    if (m_arrived) return true;
    if (m_fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    pollfd watch{m_fd, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) return false;
    signalfd_siginfo info{};
    m_arrived = read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
    if (m_arrived) m_request = static_cast<int>(info.ssi_signo);
    return m_arrived;
}

const char* TerminationWatch::Cause() const {
    switch (m_request) {
        case SIGINT:
            return "stopped by the operator (Ctrl+C)";
        case SIGTERM:
            return "stopped by a termination request (SIGTERM)";
        case SIGHUP:
            return "stopped: the terminal or session was closed (SIGHUP)";
        default:
            return "stopped";
    }
}

}  // namespace platform
