// Linux backend of the port handle: descriptors, lock, waits, counters and helper threads.
#include "SerialLib/Serial/PortBackend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "SerialLib/Serial/SerialErrors.h"
#include "platform/Clock.h"

namespace {

void Signal(int eventFd) {
    const std::uint64_t one = 1;
    while (write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Drain(int eventFd) {
    std::uint64_t value = 0;
    while (read(eventFd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

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

int Deadline::PollTimeout() const {
    if (!m_at) return -1;
    const auto left = *m_at - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    // Round up, so that a wait never ends a fraction of a millisecond early and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

bool Deadline::Passed() const { return m_at && std::chrono::steady_clock::now() >= *m_at; }

LONG PortBackend::Open(const std::string& path, bool overlapped, std::shared_ptr<LineDriver> driver,
                       std::unique_ptr<PortBackend>& port) {
    std::unique_ptr<PortBackend> self(new PortBackend);
    self->m_driver = std::move(driver);
    do {
        self->m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (self->m_fd < 0 && errno == EINTR);
    if (self->m_fd < 0) return StatusFromErrno(errno);

    // The advisory lock is what other serial programs honour, and it holds against root too;
    // TIOCEXCL in addition turns away programs that do not lock (root excepted).
    int locked;
    do {
        locked = flock(self->m_fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return StatusFromErrno(errno);
    self->m_locked = true;
    self->m_exclusive = ioctl(self->m_fd, TIOCEXCL) == 0;

    self->m_closeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    self->m_maskFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    self->m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (self->m_closeFd < 0 || self->m_maskFd < 0 || self->m_epollFd < 0)
        return StatusFromErrno(errno);
    // Edge-triggered on the port: the tty wakes its readers once per arrival, so each arrival
    // ends one wait, and bytes that stay unread do not end the next one.
    int error = AddToEpoll(self->m_epollFd, self->m_fd, EPOLLIN | EPOLLET);
    if (error == 0) error = AddToEpoll(self->m_epollFd, self->m_closeFd, EPOLLIN);
    if (error == 0) error = AddToEpoll(self->m_epollFd, self->m_maskFd, EPOLLIN);
    if (error != 0) return StatusFromErrno(error);

    if (overlapped) self->m_overlappedEvent = std::make_unique<platform::Event>();
    int counterError = 0;
    self->NoteCounters(counterError);  // the baseline; a driver without counters keeps none
    port = std::move(self);
    return ERROR_SUCCESS;
}

PortBackend::~PortBackend() {
    Shutdown();
    if (m_fd >= 0 && m_locked) {
        // The other side of a pseudo-terminal (or another opener) may keep the tty open, so it
        // never closes fully and TIOCEXCL would outlive us and lock the next user out.
        if (m_exclusive) ioctl(m_fd, TIOCNXCL);
        // Unsent output is dropped so that close() cannot wait for a stalled line. Only the
        // holder of the lock may do this: the queues belong to whoever has the port.
        while (tcflush(m_fd, TCIOFLUSH) != 0 && errno == EINTR) {
        }
        flock(m_fd, LOCK_UN);
    }
    if (m_fd >= 0) close(m_fd);
    if (m_epollFd >= 0) close(m_epollFd);
    if (m_maskFd >= 0) close(m_maskFd);
    if (m_closeFd >= 0) close(m_closeFd);
}

bool PortBackend::TryUse() {
    std::lock_guard lock(m_useMutex);
    if (m_closing) return false;
    ++m_users;
    return true;
}

void PortBackend::EndUse() {
    std::lock_guard lock(m_useMutex);
    if (--m_users == 0 && m_closing) m_useDropped.notify_all();
}

void PortBackend::Shutdown() {
    {
        std::lock_guard lock(m_useMutex);
        m_closing = true;
    }
    if (m_closeFd >= 0) Signal(m_closeFd);
    {
        std::unique_lock lock(m_useMutex);
        m_useDropped.wait(lock, [this] { return m_users == 0; });
    }
    std::lock_guard lock(m_helperMutex);
    ReapHelpers(true);
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

PortBackend::WaitResult PortBackend::WaitEvent(const Deadline& deadline) {
    if (m_hungUp.load()) return {Wake::HungUp};
    for (;;) {
        epoll_event events[4];
        const int n = WaitUntil(deadline, [&](int ms) { return epoll_wait(m_epollFd, events, 4, ms); });
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

void PortBackend::RearmEventWait() {
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, m_fd, nullptr);
    (void)AddToEpoll(m_epollFd, m_fd, EPOLLIN | EPOLLET);
}

void PortBackend::SignalMaskChange() { Signal(m_maskFd); }

void PortBackend::DrainMaskChange() { Drain(m_maskFd); }

PortBackend::WaitResult PortBackend::WaitReadable(std::size_t count, const Deadline& deadline,
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
        const int n = WaitUntil(deadline, [&](int ms) { return epoll_wait(set.fd, events, 3, ms); });
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

PortBackend::WaitResult PortBackend::WaitWritable(const Deadline& deadline, int cancelFd) {
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

bool PortBackend::HungUp() {
    if (m_hungUp.load()) return true;
    pollfd fd{m_fd, 0, 0};
    while (poll(&fd, 1, 0) < 0 && errno == EINTR) {
    }
    if (fd.revents & (POLLHUP | POLLERR)) m_hungUp.store(true);
    return m_hungUp.load();
}

long PortBackend::Available() {
    int count = 0;
    int result;
    do {
        result = ioctl(m_fd, FIONREAD, &count);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : count;
}

DWORD PortBackend::NoteCounters(int& error) {
    std::lock_guard lock(m_counterMutex);
    if (m_noCounters) {
        error = m_noCounters;
        return 0;
    }
    LineCounters now;
    error = m_driver->GetCounters(m_fd, now);
    if (error != 0) {
        if (!m_haveBaseline && KeepsNoCounters(error)) m_noCounters = error;
        return 0;
    }
    if (!m_haveBaseline) {
        m_baseline = now;
        m_haveBaseline = true;
        return 0;
    }
    // The counters only grow (and may wrap), so any change is news.
    DWORD events = 0, errors = 0;
    if (now.brk != m_baseline.brk) {
        events |= EV_BREAK;
        errors |= CE_BREAK;
    }
    if (now.frame != m_baseline.frame) errors |= CE_FRAME;
    if (now.parity != m_baseline.parity) errors |= CE_RXPARITY;
    if (now.overrun != m_baseline.overrun) errors |= CE_OVERRUN;
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) events |= EV_ERR;
    m_baseline = now;
    m_pendingErrors |= errors;
    return events;
}

DWORD PortBackend::TakeErrors(int& error) {
    NoteCounters(error);
    std::lock_guard lock(m_counterMutex);
    const DWORD errors = m_pendingErrors;
    m_pendingErrors = 0;
    return errors;
}

bool PortBackend::StartHelper(std::function<void(int cancelFd)> work) {
    if (!TryUse()) return false;
    const int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancelFd < 0) {
        EndUse();
        return false;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(m_helperMutex);
    ReapHelpers(false);
    try {
        std::thread thread([this, work = std::move(work), cancelFd, done] {
            work(cancelFd);
            done->store(true);
            EndUse();
        });
        m_helpers.push_back({std::move(thread), cancelFd, done});
    } catch (const std::system_error&) {
        close(cancelFd);
        EndUse();
        return false;
    }
    return true;
}

void PortBackend::CancelHelpers() {
    std::lock_guard lock(m_helperMutex);
    for (const Helper& helper : m_helpers)
        if (!helper.done->load()) Signal(helper.cancelFd);
}

void PortBackend::ReapHelpers(bool all) {
    for (auto it = m_helpers.begin(); it != m_helpers.end();) {
        if (all || it->done->load()) {
            if (it->thread.joinable()) it->thread.join();
            close(it->cancelFd);
            it = m_helpers.erase(it);
        } else {
            ++it;
        }
    }
}
