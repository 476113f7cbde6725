// The Linux backend's transfers, which behave as Windows' overlapped calls do: a call with the
// caller's record returns at once when it must wait, a helper thread finishes it and signals the
// record's event; without one it waits on the calling thread. Reads, writes and the event wait.
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "SerialLib/Serial/PosixPort.h"
#include "SerialLib/Serial/SerialErrors.h"
#include "SerialLib/Serial/TransferRecords.h"
#include "SerialLib/Serial/WakeDescriptors.h"

using posixport::Signal;
using serial::FinishRecord;
using serial::PickRecord;

namespace {

// The status of a read or write that failed with `error`: EIO on a port whose other side has
// gone is a hang-up.
LONG TransferStatus(PosixPort& port, int error) {
    if (error == EIO && port.HungUp()) return ERROR_DEVICE_NOT_CONNECTED;
    return StatusFromErrno(error);
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

}  // namespace
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
