// The Linux backend of the serial layer: opening a tty exclusively and giving it back, the
// driver's error counters, and the calls that act on the line at once (purge, break, modem lines).
// The line settings, the waits and the transfers are in PosixPortLine.cpp, PosixPortWaits.cpp and
// PosixPortTransfers.cpp.
#include "SerialLib/Serial/PosixPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/SerialErrors.h"

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

    if (const int error = self->PrepareWaits()) return StatusFromErrno(error);

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

void PosixPort::AfterLastUse() {
    std::lock_guard lock(m_helperMutex);
    ReapHelpers(true);
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
