// The Linux backend's waits: the listener's event wait, the waits of a transfer for input and for
// room, and their deadlines. Each blocking wait includes the close descriptor, so Shutdown ends
// them all.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "SerialLib/Serial/PosixPort.h"
#include "SerialLib/Serial/WakeDescriptors.h"
#include "platform/Clock.h"

using posixport::Drain;
using posixport::Signal;

namespace {

int AddToEpoll(int epollFd, int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

// An epoll descriptor that closes itself.
struct EpollFd {
    int fd = epoll_create1(EPOLL_CLOEXEC);
    ~EpollFd() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

Deadline::Deadline(DWORD timeoutMs) {
    if (timeoutMs != INFINITE)
        m_at = std::chrono::steady_clock::now() + platform::RealDuration(timeoutMs);
}

int Deadline::PollTimeout() const { return m_at ? platform::RealMsUntil(*m_at) : -1; }

bool Deadline::Passed() const { return m_at && std::chrono::steady_clock::now() >= *m_at; }
int PosixPort::PrepareWaits() {
    m_closeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_maskFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_closeFd < 0 || m_maskFd < 0 || m_epollFd < 0) return errno;
    // Edge-triggered on the port: the tty wakes its readers once per arrival, so each arrival
    // ends one wait, and bytes that stay unread do not end the next one.
    int error = AddToEpoll(m_epollFd, m_fd, EPOLLIN | EPOLLET);
    if (error == 0) error = AddToEpoll(m_epollFd, m_closeFd, EPOLLIN);
    if (error == 0) error = AddToEpoll(m_epollFd, m_maskFd, EPOLLIN);
    return error;
}

void PosixPort::WakeAll() {
    if (m_closeFd >= 0) Signal(m_closeFd);
}
namespace {

// Waits with `wait` (an epoll_wait or poll call taking a time-out in ms) until it reports
// something or the deadline passes, restarting on EINTR: n > 0 when it reported, 0 at the
// deadline, -errno on failure.
template <typename WaitCall>
int WaitUntil(const Deadline& deadline, WaitCall wait) {
    for (;;) {
        const int n = wait(deadline.PollTimeout());
        if (n > 0) return n;
        if (n < 0 && errno != EINTR) return -errno;
        if (n == 0 && deadline.Passed()) return 0;
    }
}

}  // namespace

PosixPort::WaitResult PosixPort::WaitPortEvent(const Deadline& deadline) {
    if (m_hungUp.load()) return {Wake::HungUp};
    for (;;) {
        epoll_event events[4];
        const int n =
            WaitUntil(deadline, [&](int ms) { return epoll_wait(m_epollFd, events, 4, ms); });
        if (n < 0) return {Wake::Failed, -n};
        if (n == 0) return {Wake::TimedOut};
        bool arrival = false, hungUp = false, closing = false, mask = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == m_fd) {
                if (events[i].events & (EPOLLHUP | EPOLLERR)) hungUp = true;
                if (events[i].events & EPOLLIN) arrival = true;
            } else if (events[i].data.fd == m_closeFd) {
                closing = true;
            } else if (events[i].data.fd == m_maskFd) {
                mask = true;
            }
        }
        if (closing) return {Wake::Closing};
        if (hungUp) {
            m_hungUp.store(true);
            return {Wake::HungUp};
        }
        if (arrival) return {Wake::Arrival};
        if (mask) {
            Drain(m_maskFd);
            return {Wake::MaskChanged};
        }
    }
}

void PosixPort::RearmEventWait() {
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, m_fd, nullptr);
    (void)AddToEpoll(m_epollFd, m_fd, EPOLLIN | EPOLLET);
}

void PosixPort::SignalMaskChange() { Signal(m_maskFd); }

void PosixPort::DrainMaskChange() { Drain(m_maskFd); }

PosixPort::WaitResult PosixPort::WaitReadable(std::size_t count, const Deadline& deadline,
                                              int cancelFd) {
    EpollFd set;
    if (set.fd < 0) return {Wake::Failed, errno};
    int error = AddToEpoll(set.fd, m_fd, EPOLLIN | EPOLLET);
    if (error == 0) error = AddToEpoll(set.fd, m_closeFd, EPOLLIN);
    if (error == 0 && cancelFd >= 0) error = AddToEpoll(set.fd, cancelFd, EPOLLIN);
    if (error != 0) return {Wake::Failed, error};
    for (;;) {
        // Registered first, tested second: an arrival between the two still ends the wait.
        const long available = Available();
        if (available < 0) return {Wake::Failed, errno};
        if (static_cast<std::size_t>(available) >= count) return {Wake::Arrival};
        epoll_event events[3];
        const int n =
            WaitUntil(deadline, [&](int ms) { return epoll_wait(set.fd, events, 3, ms); });
        if (n < 0) return {Wake::Failed, -n};
        if (n == 0) return {Wake::TimedOut};
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == m_closeFd) return {Wake::Closing};
            if (events[i].data.fd == cancelFd) return {Wake::Cancelled};
            if (events[i].events & (EPOLLHUP | EPOLLERR)) {
                m_hungUp.store(true);
                return {Wake::HungUp};
            }
        }
    }
}

PosixPort::WaitResult PosixPort::WaitWritable(const Deadline& deadline, int cancelFd) {
    for (;;) {
        pollfd fds[3] = {{m_fd, POLLOUT, 0}, {m_closeFd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        const nfds_t count = cancelFd >= 0 ? 3 : 2;
        const int n = WaitUntil(deadline, [&](int ms) { return poll(fds, count, ms); });
        if (n < 0) return {Wake::Failed, -n};
        if (n == 0) return {Wake::TimedOut};
        if (fds[1].revents) return {Wake::Closing};
        if (cancelFd >= 0 && fds[2].revents) return {Wake::Cancelled};
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            m_hungUp.store(true);
            return {Wake::HungUp};
        }
        if (fds[0].revents & POLLOUT) return {Wake::Writable};
    }
}

bool PosixPort::HungUp() {
    if (m_hungUp.load()) return true;
    pollfd fd{m_fd, 0, 0};
    while (poll(&fd, 1, 0) < 0 && errno == EINTR) {
    }
    if (fd.revents & (POLLHUP | POLLERR)) m_hungUp.store(true);
    return m_hungUp.load();
}

long PosixPort::Available() {
    int count = 0;
    int result;
    do {
        result = ioctl(m_fd, FIONREAD, &count);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : count;
}
