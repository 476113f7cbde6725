// The Linux backend of the serial layer: descriptors, lock, line settings through the
// LineDriver seam, waits, counters and the helper threads that finish overlapped transfers.
#include "SerialLib/Serial/PosixPort.h"

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
#include <cstring>
#include <system_error>
#include <vector>

#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/SerialErrors.h"
#include "platform/Clock.h"
#include "platform/LineRates.h"

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

LONG PosixPort::OpenPath(const std::string& path, bool overlapped,
                         std::shared_ptr<LineDriver> driver, std::unique_ptr<PosixPort>& port) {
    std::unique_ptr<PosixPort> self(new PosixPort);
    self->m_driver = driver ? std::move(driver) : KernelLineDriver();
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

PosixPort::~PosixPort() {
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

void PosixPort::WakeAll() {
    if (m_closeFd >= 0) Signal(m_closeFd);
}

void PosixPort::AfterLastUse() {
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

DWORD PosixPort::NoteCounters(int& error) {
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

DWORD PosixPort::TakeErrors(int& error) {
    NoteCounters(error);
    std::lock_guard lock(m_counterMutex);
    const DWORD errors = m_pendingErrors;
    m_pendingErrors = 0;
    return errors;
}

bool PosixPort::StartHelper(std::function<void(int cancelFd)> work) {
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

void PosixPort::CancelHelpers() {
    std::lock_guard lock(m_helperMutex);
    for (const Helper& helper : m_helpers)
        if (!helper.done->load()) Signal(helper.cancelFd);
}

void PosixPort::ReapHelpers(bool all) {
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

// ---- The PortBackend interface over termios ----

namespace {

constexpr tcflag_t FRAMING_BITS = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// The status of a read or write that failed with `error`: EIO on a port whose other side has
// gone is a hang-up.
LONG TransferStatus(PosixPort& port, int error) {
    if (error == EIO && port.HungUp()) return ERROR_DEVICE_NOT_CONNECTED;
    return StatusFromErrno(error);
}

// Marks a record as running and resets its event, as a transfer that starts does.
void StartRecord(OVERLAPPED* record) {
    std::atomic_ref<std::uintptr_t>(record->InternalHigh).store(0);
    std::atomic_ref<std::uintptr_t>(record->Internal).store(STATUS_PENDING);
    if (record->hEvent) record->hEvent->Reset();
}

// Stores the outcome in the record; `signal` wakes whoever waits on its event.
void FinishRecord(OVERLAPPED* record, LONG status, DWORD count, bool signal) {
    // The event is read before the status is published: from then on the owner may reuse the
    // record at once.
    platform::Event* const event = record->hEvent;
    std::atomic_ref<std::uintptr_t>(record->InternalHigh).store(count);
    std::atomic_ref<std::uintptr_t>(record->Internal).store(static_cast<std::uint32_t>(status));
    if (signal && event) event->Set();
}

// One read() of up to `length` bytes, restarted on EINTR; 0 or errno, bytes in `got`.
int ReadOnce(int fd, void* data, std::size_t length, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = read(fd, data, length);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return errno;
    }
}

// Writes as much as the port takes without waiting; 0 or errno, running total in `done`.
int WriteAvailable(int fd, const BYTE* data, std::size_t length, std::size_t& done) {
    while (done < length) {
        const ssize_t n = write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return 0;
        } else {
            return n < 0 ? errno : EIO;
        }
    }
    return 0;
}

// The status for a wait of the backend that ended without its goal.
LONG WaitStatus(const PosixPort::WaitResult& result) {
    switch (result.wake) {
        case PosixPort::Wake::TimedOut:
            return ERROR_TIMEOUT;
        case PosixPort::Wake::Closing:
        case PosixPort::Wake::Cancelled:
            return ERROR_OPERATION_ABORTED;
        case PosixPort::Wake::HungUp:
            return ERROR_DEVICE_NOT_CONNECTED;
        case PosixPort::Wake::Failed:
            return StatusFromErrno(result.error);
        default:
            return ERROR_SUCCESS;
    }
}

// The record a transfer completes: the caller's, or `internal` on the port's own event.
OVERLAPPED* PickRecord(platform::Event* internalEvent, LPOVERLAPPED lpOverlapped,
                       OVERLAPPED& internal) {
    if (!internalEvent) return nullptr;
    internal = OVERLAPPED{0, 0, 0, 0, internalEvent};
    OVERLAPPED* record = lpOverlapped ? lpOverlapped : &internal;
    StartRecord(record);
    return record;
}

}  // namespace

PortResult PortBackend::OpenLocal(const char* name, const PortOptions& options,
                                  std::unique_ptr<PortBackend>& port) {
    const std::string path = ResolvePortName(name);
    if (path.empty()) return PortResult::Failed(ERROR_FILE_NOT_FOUND, PortFailure::Open);
    std::unique_ptr<PosixPort> opened;
    const LONG status = PosixPort::OpenPath(path, options.overlapped, options.lineDriver, opened);
    if (status != ERROR_SUCCESS) return PortResult::Failed(status, PortFailure::Open);
    port = std::move(opened);
    return PortResult::Success();
}

PortResult PosixPort::SetQueues(DWORD, DWORD) {
    // A tty's queues have fixed sizes on Linux.
    return PortResult::Success();
}

PortResult PosixPort::ApplyDefaultConfiguration() {
    // Raw line, receiver on, no flow control, reads that never wait in the driver.
    // Open's own mask change must not end the listener's first wait, and the termios change's
    // wake-ups must not sit in the event wait.
    struct Settle {
        PosixPort& port;
        ~Settle() {
            port.DrainMaskChange();
            port.RearmEventWait();
        }
    } settle{*this};
    termios settings{};
    if (const int error = m_driver->GetAttributes(m_fd, settings))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD | HUPCL;
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    PortResult result = PortResult::Success();
    if (const int error = m_driver->SetAttributes(m_fd, settings))
        result = PortResult::Failed(StatusFromErrno(error), PortFailure::Set);
    // Without it many USB adapters hold short replies back for their latency timer; drivers
    // that do not know the flag refuse, and the port works as before.
    (void)m_driver->RequestLowLatency(m_fd);
    return result;
}

PortResult PosixPort::Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) {
    termios before{};
    if (const int error = m_driver->GetAttributes(m_fd, before))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    speed_t speed = B0;
    // Linux has no 1.5 stop bits: a clear refusal rather than a silent change to 1 or 2.
    if (!platform::SpeedForRate(dwBaudrate, speed) || bDataBits < 5 || bDataBits > 8 ||
        bParity > SPACEPARITY || (bStopBits != ONESTOPBIT && bStopBits != TWOSTOPBITS))
        return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
    termios wanted = before;
    cfsetispeed(&wanted, speed);
    cfsetospeed(&wanted, speed);
    wanted.c_cflag &= ~FRAMING_BITS;
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    wanted.c_cflag |= SIZES[bDataBits - 5];
    switch (bParity) {
        case ODDPARITY:
            wanted.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            wanted.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            wanted.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            wanted.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (bStopBits == TWOSTOPBITS) wanted.c_cflag |= CSTOPB;
    if (const int error = m_driver->SetAttributes(m_fd, wanted))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Set);
    // A driver may take the call and still not apply a setting (a pseudo-terminal forces 8
    // bits without parity); only the read-back tells.
    termios applied{};
    const bool fApplied = m_driver->GetAttributes(m_fd, applied) == 0 &&
                          cfgetospeed(&applied) == speed &&
                          (applied.c_cflag & FRAMING_BITS) == (wanted.c_cflag & FRAMING_BITS);
    if (!fApplied) {
        (void)m_driver->SetAttributes(m_fd, before);
        return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
    }
    return PortResult::Success();
}

PortResult PosixPort::SetupHandshaking(int eHandshake) {
    termios before{};
    if (const int error = m_driver->GetAttributes(m_fd, before))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    termios wanted = before;
    wanted.c_cflag &= ~CRTSCTS;
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Linux has no DTR/DSR flow control: hardware handshaking is RTS/CTS.
    if (eHandshake == 1) wanted.c_cflag |= CRTSCTS;
    if (eHandshake == 2) wanted.c_iflag |= IXON | IXOFF;
    if (const int error = m_driver->SetAttributes(m_fd, wanted))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Set);
    termios applied{};
    if (m_driver->GetAttributes(m_fd, applied) != 0 ||
        (applied.c_cflag & CRTSCTS) != (wanted.c_cflag & CRTSCTS) ||
        (applied.c_iflag & (IXON | IXOFF)) != (wanted.c_iflag & (IXON | IXOFF))) {
        (void)m_driver->SetAttributes(m_fd, before);
        return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
    }
    return PortResult::Success();
}

PortResult PosixPort::SetupReadTimeouts(int eReadTimeoutMode) {
    m_readMode.store(eReadTimeoutMode);
    return PortResult::Success();
}

PortResult PosixPort::GetLine(LineSettings& line) {
    termios settings{};
    if (const int error = m_driver->GetAttributes(m_fd, settings))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    const unsigned rate = platform::RateForSpeed(cfgetospeed(&settings));
    line.baudrate = rate == 0 ? -1 : static_cast<LONG>(rate);
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            line.dataBits = 5;
            break;
        case CS6:
            line.dataBits = 6;
            break;
        case CS7:
            line.dataBits = 7;
            break;
        default:
            line.dataBits = 8;
            break;
    }
    const tcflag_t flags = settings.c_cflag;
    if (!(flags & PARENB))
        line.parity = NOPARITY;
    else if (flags & CMSPAR)
        line.parity = (flags & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        line.parity = (flags & PARODD) ? ODDPARITY : EVENPARITY;
    line.stopBits = (flags & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    const bool rtsCts = (flags & CRTSCTS) != 0;
    line.ctsFlow = line.rtsHandshake = line.dtrHandshake = rtsCts;
    line.dsrFlow = false;
    line.xonXoff = (settings.c_iflag & IXON) && (settings.c_iflag & IXOFF);
    line.eventChar = m_eventChar.load();
    return PortResult::Success();
}

PortResult PosixPort::SetEventChar(BYTE bEventChar) {
    // Linux cannot look into the receive queue without taking the bytes, so EV_RXFLAG is never
    // reported; the character is kept for GetEventChar.
    m_eventChar.store(bEventChar);
    return PortResult::Success();
}

PortResult PosixPort::SetMask(DWORD dwMask) {
    m_mask.store(dwMask);
    SignalMaskChange();
    return PortResult::Success();
}

PortResult PosixPort::WaitEvent(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped, DWORD dwTimeout) {
    OVERLAPPED internal{};
    OVERLAPPED* pRecord = PickRecord(m_overlappedEvent.get(), lpOverlapped, internal);
    // The wait runs on the calling thread, also with the caller's record: the caller's event is
    // signalled before this returns (Windows would return at once and signal later).
    const Deadline deadline(dwTimeout);
    DWORD dwEvents = 0;
    PortResult result = PortResult::Success();
    for (;;) {
        const WaitResult wait = WaitPortEvent(deadline);
        if (wait.wake == Wake::MaskChanged) break;
        if (wait.wake != Wake::Arrival) {
            const LONG status = WaitStatus(wait);
            result = PortResult::Failed(
                status, status == ERROR_TIMEOUT ? PortFailure::Wait : PortFailure::Call);
            break;
        }
        int error = 0;
        dwEvents = EV_RXCHAR | NoteCounters(error);
        // Like the Windows wait, only an event inside the mask ends it.
        if (dwEvents & m_mask.load()) break;
        dwEvents = 0;
    }
    *pdwEvent = dwEvents;
    if (pRecord) FinishRecord(pRecord, result.status, 0, result.Ok());
    return result;
}

PortResult PosixPort::Write(const void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                            DWORD dwTimeout) {
    OVERLAPPED internal{};
    OVERLAPPED* pRecord = PickRecord(m_overlappedEvent.get(), lpOverlapped, internal);
    const BYTE* pBytes = static_cast<const BYTE*>(pData);
    std::size_t done = 0;
    auto failed = [&](LONG status, PortFailure failure) {
        if (pRecord) FinishRecord(pRecord, status, static_cast<DWORD>(done), false);
        return PortResult::Failed(status, failure, static_cast<DWORD>(done));
    };
    if (const int error = WriteAvailable(m_fd, pBytes, iLen, done))
        return failed(TransferStatus(*this, error), PortFailure::Call);
    if (done == iLen) {
        if (pRecord) FinishRecord(pRecord, ERROR_SUCCESS, static_cast<DWORD>(done), true);
        return PortResult::Success(static_cast<DWORD>(done));
    }

    if (lpOverlapped) {
        // The rest goes out on a helper thread with a copy of its own, so the caller's buffer
        // is free at once; the caller's record tells when the bytes are out.
        std::vector<BYTE> rest(pBytes + done, pBytes + iLen);
        const bool fStarted =
            StartHelper([this, rest = std::move(rest), lpOverlapped, already = done](int cancelFd) {
                std::size_t sent = 0;
                LONG status = ERROR_SUCCESS;
                while (sent < rest.size()) {
                    const auto wait = WaitWritable(Deadline(INFINITE), cancelFd);
                    if (wait.wake != Wake::Writable) {
                        status = WaitStatus(wait);
                        break;
                    }
                    if (const int error = WriteAvailable(m_fd, rest.data(), rest.size(), sent)) {
                        status = TransferStatus(*this, error);
                        break;
                    }
                }
                FinishRecord(lpOverlapped, status, static_cast<DWORD>(already + sent), true);
            });
        if (!fStarted) return failed(ERROR_OPERATION_ABORTED, PortFailure::Call);
        return PortResult::Success(0);
    }

    // No record of the caller's: wait here, within dwTimeout, until the port has taken it all.
    const Deadline deadline(dwTimeout);
    while (done < iLen) {
        const auto wait = WaitWritable(deadline);
        // The bytes the port took are gone down the line; the count says how many.
        if (wait.wake != Wake::Writable) return failed(WaitStatus(wait), PortFailure::Wait);
        if (const int error = WriteAvailable(m_fd, pBytes, iLen, done))
            return failed(TransferStatus(*this, error), PortFailure::Call);
    }
    if (pRecord) FinishRecord(pRecord, ERROR_SUCCESS, static_cast<DWORD>(done), true);
    return PortResult::Success(static_cast<DWORD>(done));
}

PortResult PosixPort::Read(void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                           DWORD dwTimeout) {
    OVERLAPPED internal{};
    OVERLAPPED* pRecord = PickRecord(m_overlappedEvent.get(), lpOverlapped, internal);
    // Takes up to iLen bytes that are there now and completes the call.
    auto takeNow = [&]() -> PortResult {
        std::size_t got = 0;
        const int error = ReadOnce(m_fd, pData, iLen, got);
        LONG status = error ? TransferStatus(*this, error) : ERROR_SUCCESS;
        // With VMIN = VTIME = 0 a read of nothing and a read after a hang-up both return 0.
        if (status == ERROR_SUCCESS && got == 0 && iLen != 0 && HungUp())
            status = ERROR_DEVICE_NOT_CONNECTED;
        if (status != ERROR_SUCCESS) {
            if (pRecord) FinishRecord(pRecord, status, 0, false);
            return PortResult::Failed(status, PortFailure::Call);
        }
        if (pRecord) FinishRecord(pRecord, ERROR_SUCCESS, static_cast<DWORD>(got), true);
        return PortResult::Success(static_cast<DWORD>(got));
    };

    if (m_readMode.load() == 0) return takeNow();

    // Blocking mode: the bytes are taken only once all iLen are there, so a time-out loses
    // nothing that arrived.
    const long available = Available();
    if (available >= 0 && static_cast<std::size_t>(available) >= iLen) return takeNow();
    if (lpOverlapped) {
        const bool fStarted = StartHelper([this, pData, iLen, lpOverlapped](int cancelFd) {
            const auto wait = WaitReadable(iLen, Deadline(INFINITE), cancelFd);
            LONG status = WaitStatus(wait);
            std::size_t got = 0;
            if (status == ERROR_SUCCESS) {
                if (const int error = ReadOnce(m_fd, pData, iLen, got))
                    status = TransferStatus(*this, error);
            }
            FinishRecord(lpOverlapped, status, static_cast<DWORD>(got), true);
        });
        if (!fStarted) {
            FinishRecord(lpOverlapped, ERROR_OPERATION_ABORTED, 0, false);
            return PortResult::Failed(ERROR_OPERATION_ABORTED, PortFailure::Call);
        }
        return PortResult::Success(0);
    }
    const auto wait = WaitReadable(iLen, Deadline(dwTimeout));
    if (wait.wake != Wake::Arrival) {
        const LONG status = WaitStatus(wait);
        if (pRecord) FinishRecord(pRecord, status, 0, false);
        return PortResult::Failed(status, PortFailure::Wait);
    }
    return takeNow();
}

PortResult PosixPort::Purge() {
    int result;
    do {
        result = tcflush(m_fd, TCIOFLUSH);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return PortResult::Failed(StatusFromErrno(errno), PortFailure::Call);
    return PortResult::Success();
}

PortResult PosixPort::SetBreak(bool on) {
    if (const int error = m_driver->SetBreak(m_fd, on))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Call);
    return PortResult::Success();
}

PortResult PosixPort::ClearCommError(DWORD& dwErrors) {
    int error = 0;
    dwErrors = TakeErrors(error);
    if (error == 0 || KeepsNoCounters(error)) return PortResult::Success();
    return PortResult::Failed(StatusFromErrno(error), PortFailure::Call);
}

PortResult PosixPort::GetModemStatus(DWORD& dwStatus) {
    int lines = 0;
    if (const int error = m_driver->GetModemLines(m_fd, lines))
        return PortResult::Failed(StatusFromErrno(error), PortFailure::Obtain);
    dwStatus = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
               ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
    return PortResult::Success();
}
