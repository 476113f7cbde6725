// CSerial over termios: open and close, line setup, event waits, reads and writes.
#include "SerialLib/Serial/Serial.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "SerialLib/Serial/PortNames.h"
#include "SerialLib/Serial/SerialErrors.h"
#include "platform/Clock.h"
#include "platform/LineRates.h"
#include "platform/Trace.h"

using platform::Trace;

namespace {

constexpr DWORD DEFAULT_MASK = EV_RXCHAR | EV_BREAK | EV_ERR;
constexpr tcflag_t FRAMING_BITS = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// The rate as the getters report it: -1 for a speed without a standard rate.
LONG RateForSpeed(speed_t speed) {
    const unsigned rate = platform::RateForSpeed(speed);
    return rate == 0 ? -1 : static_cast<LONG>(rate);
}

// The status of a read or write that failed with `error`: EIO on a port whose other side has
// gone is a hang-up.
LONG TransferStatus(PortBackend& port, int error) {
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
    std::atomic_ref<std::uintptr_t>(record->InternalHigh).store(count);
    std::atomic_ref<std::uintptr_t>(record->Internal).store(static_cast<std::uint32_t>(status));
    if (signal && record->hEvent) record->hEvent->Set();
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
LONG WaitStatus(const PortBackend::WaitResult& result) {
    switch (result.wake) {
        case PortBackend::Wake::TimedOut:
            return ERROR_TIMEOUT;
        case PortBackend::Wake::Closing:
        case PortBackend::Wake::Cancelled:
            return ERROR_OPERATION_ABORTED;
        case PortBackend::Wake::HungUp:
            return ERROR_DEVICE_NOT_CONNECTED;
        case PortBackend::Wake::Failed:
            return StatusFromErrno(result.error);
        default:
            return ERROR_SUCCESS;
    }
}

}  // namespace

CSerial::CSerial() : m_pLineDriver(KernelLineDriver()) {}

CSerial::~CSerial() {
    if (IsOpen()) {
        Trace("CSerial::~CSerial - Serial port not closed\n");
        CSerial::Close();
    }
}

void CSerial::SetLineDriver(std::shared_ptr<LineDriver> pDriver) {
    std::lock_guard lock(m_mtxOpenClose);
    m_pLineDriver = pDriver ? std::move(pDriver) : KernelLineDriver();
}

PortUse CSerial::UsePort() const {
    std::lock_guard lock(m_mtxPort);
    if (m_hPort && m_hPort->TryUse()) return PortUse(m_hPort.get());
    return PortUse();
}

PortUse CSerial::PortFor(const char* pszMethod) {
    m_lError.store(ERROR_SUCCESS);
    PortUse port = UsePort();
    if (!port) {
        platform::Tracef("CSerial::%s - Device is not opened\n", pszMethod);
        Done(ERROR_INVALID_HANDLE);
    }
    return port;
}

bool CSerial::IsOpen() const {
    std::lock_guard lock(m_mtxPort);
    return m_hPort != nullptr;
}

LONG CSerial::Open(const char* lpszDevice, DWORD dwInQueue, DWORD dwOutQueue, bool fOverlapped) {
    m_lError.store(ERROR_SUCCESS);
    std::lock_guard openClose(m_mtxOpenClose);
    if (IsOpen()) {
        Trace("CSerial::Open - Port already opened\n");
        return Done(ERROR_ALREADY_INITIALIZED);
    }
    const std::string path = ResolvePortName(lpszDevice);
    std::unique_ptr<PortBackend> port;
    const LONG lOpened = path.empty() ? ERROR_FILE_NOT_FOUND
                                      : PortBackend::Open(path, fOverlapped, m_pLineDriver, port);
    if (lOpened != ERROR_SUCCESS) {
        Trace("CSerial::Open - Unable to open port\n");
        return Done(lOpened);
    }
    SerialCheck(m_hevtOverlapped.load() == nullptr, "m_hevtOverlapped == 0");
    if (dwInQueue || dwOutQueue) {
        // A tty's queues have fixed sizes on Linux; the sizes are only checked.
        SerialCheck(dwInQueue >= 16, "dwInQueue >= 16");
        SerialCheck(dwOutQueue >= 16, "dwOutQueue >= 16");
    }
    PortBackend* pPort = port.get();
    {
        std::lock_guard lock(m_mtxPort);
        m_hPort = std::move(port);
        m_hevtOverlapped.store(pPort->OverlappedEvent());
    }

    // The mask is set on a port just opened, which cannot refuse it; its status is not Open's.
    (void)SetMask(DEFAULT_MASK);
    // Open's own mask change must not end the listener's first wait.
    pPort->DrainMaskChange();
    const LONG lStatus = SetupReadTimeouts(ReadTimeoutImmediate);
    ApplyDefaultConfiguration(*pPort);
    pPort->RearmEventWait();
    return Done(lStatus);
}

void CSerial::ApplyDefaultConfiguration(PortBackend& port) {
    termios settings{};
    if (port.Driver().GetAttributes(port.Fd(), settings) != 0) {
        Trace("CSerial::Open - Unable to obtain default communication configuration.\n");
        return;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD | HUPCL;
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (port.Driver().SetAttributes(port.Fd(), settings) != 0)
        Trace("CSerial::Open - Unable to set default communication configuration.\n");
    // Without it many USB adapters hold short replies back for their latency timer; drivers
    // that do not know the flag refuse, and the port works as before.
    (void)port.Driver().RequestLowLatency(port.Fd());
}

LONG CSerial::Close() {
    m_lError.store(ERROR_SUCCESS);
    std::lock_guard openClose(m_mtxOpenClose);
    std::unique_ptr<PortBackend> port;
    {
        std::lock_guard lock(m_mtxPort);
        port = std::move(m_hPort);
        m_hevtOverlapped.store(nullptr);
    }
    if (!port) {
        Trace("CSerial::Close - Method called when device is not open\n");
        return Done(ERROR_SUCCESS);
    }
    port->Shutdown();
    port.reset();
    return Done(ERROR_SUCCESS);
}

LONG CSerial::PickRecord(const char* pszMethod, PortBackend& port, LPOVERLAPPED lpOverlapped,
                         DWORD dwTimeout, OVERLAPPED& internal, OVERLAPPED*& pRecord) {
    pRecord = nullptr;
    platform::Event* pInternalEvent = port.OverlappedEvent();
    if (!pInternalEvent && (lpOverlapped || dwTimeout != INFINITE)) {
        platform::Tracef(
            "CSerial::%s - Overlapped I/O is disabled, specified parameters are illegal.\n",
            pszMethod);
        return Done(ERROR_INVALID_FUNCTION);
    }
    if (pInternalEvent) {
        SerialCheck(!lpOverlapped || HasOverlappedIoCompleted(lpOverlapped),
                    "!m_hevtOverlapped || HasOverlappedIoCompleted(lpOverlapped)");
        internal = OVERLAPPED{0, 0, 0, 0, pInternalEvent};
        pRecord = lpOverlapped ? lpOverlapped : &internal;
        StartRecord(pRecord);
    }
    return ERROR_SUCCESS;
}

int CSerial::ReadSetting(const char* pszMethod, termios& settings) {
    PortUse port = PortFor(pszMethod);
    if (!port) return -1;
    if (const int error = port->Driver().GetAttributes(port->Fd(), settings)) {
        platform::Tracef("CSerial::%s - Unable to obtain DCB information\n", pszMethod);
        Done(StatusFromErrno(error));
        return -1;
    }
    Done(ERROR_SUCCESS);
    return 0;
}

LONG CSerial::Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) {
    PortUse port = PortFor("Setup");
    if (!port) return ERROR_INVALID_HANDLE;
    termios before{};
    if (const int error = port->Driver().GetAttributes(port->Fd(), before)) {
        Trace("CSerial::Setup - Unable to obtain DCB information\n");
        return Done(StatusFromErrno(error));
    }
    speed_t speed = B0;
    // Linux has no 1.5 stop bits: a clear refusal rather than a silent change to 1 or 2.
    if (!platform::SpeedForRate(dwBaudrate, speed) || bDataBits < 5 || bDataBits > 8 ||
        bParity > SPACEPARITY || (bStopBits != ONESTOPBIT && bStopBits != TWOSTOPBITS)) {
        Trace("CSerial::Setup - Unable to set DCB information\n");
        return Done(ERROR_INVALID_PARAMETER);
    }
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
    if (const int error = port->Driver().SetAttributes(port->Fd(), wanted)) {
        Trace("CSerial::Setup - Unable to set DCB information\n");
        return Done(StatusFromErrno(error));
    }
    // A driver may take the call and still not apply a setting (a pseudo-terminal forces 8
    // bits without parity); only the read-back tells.
    termios applied{};
    const bool fApplied = port->Driver().GetAttributes(port->Fd(), applied) == 0 &&
                          cfgetospeed(&applied) == speed &&
                          (applied.c_cflag & FRAMING_BITS) == (wanted.c_cflag & FRAMING_BITS);
    if (!fApplied) {
        (void)port->Driver().SetAttributes(port->Fd(), before);
        Trace("CSerial::Setup - Unable to set DCB information\n");
        return Done(ERROR_INVALID_PARAMETER);
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerial::SetEventChar(BYTE bEventChar, bool fAdjustMask) {
    {
        PortUse port = PortFor("SetEventChar");
        if (!port) return ERROR_INVALID_HANDLE;
        port->m_eventChar.store(bEventChar);
    }
    if (fAdjustMask) return SetMask(GetEventMask() | EV_RXFLAG);
    return Done(ERROR_SUCCESS);
}

LONG CSerial::SetMask(DWORD dwMask) {
    PortUse port = PortFor("SetMask");
    if (!port) return ERROR_INVALID_HANDLE;
    m_dwMask.store(dwMask);
    port->SignalMaskChange();
    return Done(ERROR_SUCCESS);
}

DWORD CSerial::GetEventMask() {
    m_lError.store(ERROR_SUCCESS);
    if (!IsOpen()) {
        Trace("CSerial::GetEventMask - Device is not opened\n");
        Done(ERROR_INVALID_HANDLE);
        return 0;
    }
    return m_dwMask.load();
}

LONG CSerial::WaitEvent(LPOVERLAPPED lpOverlapped, DWORD dwTimeout) {
    PortUse port = PortFor("WaitEvent");
    if (!port) return ERROR_INVALID_HANDLE;
    OVERLAPPED internal{};
    OVERLAPPED* pRecord = nullptr;
    if (const LONG lStatus = PickRecord("WaitEvent", *port, lpOverlapped, dwTimeout, internal, pRecord))
        return lStatus;

    const Deadline deadline(dwTimeout);
    DWORD dwEvents = 0;
    LONG lStatus = ERROR_SUCCESS;
    for (;;) {
        const PortBackend::WaitResult result = port->WaitEvent(deadline);
        if (result.wake == PortBackend::Wake::MaskChanged) break;
        if (result.wake != PortBackend::Wake::Arrival) {
            lStatus = WaitStatus(result);
            if (lStatus != ERROR_TIMEOUT)
                Trace("CSerial::WaitEvent - Unable to wait for COM event\n");
            break;
        }
        int error = 0;
        dwEvents = EV_RXCHAR | port->NoteCounters(error);
        // Like the Windows wait, only an event inside the mask ends it.
        if (dwEvents & m_dwMask.load()) break;
        dwEvents = 0;
    }
    m_dwEvent.store(dwEvents);
    if (pRecord) FinishRecord(pRecord, lStatus, 0, lStatus == ERROR_SUCCESS);
    return Done(lStatus);
}

DWORD CSerial::GetEventType() {
    const DWORD dwEvent = m_dwEvent.exchange(0);
    const DWORD dwMask = m_dwMask.load();
    const DWORD dwResult = dwEvent & dwMask;
    if (dwResult == 0)
        platform::Tracef("CSerial::GetEventType - Event %08Xh not within mask %08Xh.\n",
                         static_cast<unsigned>(dwEvent), static_cast<unsigned>(dwMask));
    return dwResult;
}

LONG CSerial::SetupHandshaking(Handshake eHandshake) {
    PortUse port = PortFor("SetupHandshaking");
    if (!port) return ERROR_INVALID_HANDLE;
    termios before{};
    if (const int error = port->Driver().GetAttributes(port->Fd(), before)) {
        Trace("CSerial::SetupHandshaking - Unable to obtain DCB information\n");
        return Done(StatusFromErrno(error));
    }
    termios wanted = before;
    wanted.c_cflag &= ~CRTSCTS;
    wanted.c_iflag &= ~(IXON | IXOFF | IXANY);
    switch (eHandshake) {
        case HandshakeOff:
            break;
        case HandshakeHardware:
            wanted.c_cflag |= CRTSCTS;
            break;
        case HandshakeSoftware:
            wanted.c_iflag |= IXON | IXOFF;
            break;
        default:
            SerialCheck(false, "false");
            return Done(E_INVALIDARG);
    }
    if (const int error = port->Driver().SetAttributes(port->Fd(), wanted)) {
        Trace("CSerial::SetupHandshaking - Unable to set DCB information\n");
        return Done(StatusFromErrno(error));
    }
    termios applied{};
    if (port->Driver().GetAttributes(port->Fd(), applied) != 0 ||
        (applied.c_cflag & CRTSCTS) != (wanted.c_cflag & CRTSCTS) ||
        (applied.c_iflag & (IXON | IXOFF)) != (wanted.c_iflag & (IXON | IXOFF))) {
        (void)port->Driver().SetAttributes(port->Fd(), before);
        Trace("CSerial::SetupHandshaking - Unable to set DCB information\n");
        return Done(ERROR_INVALID_PARAMETER);
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerial::SetupReadTimeouts(ReadTimeoutMode eReadTimeoutMode) {
    PortUse port = PortFor("SetupReadTimeouts");
    if (!port) return ERROR_INVALID_HANDLE;
    if (eReadTimeoutMode != ReadTimeoutImmediate && eReadTimeoutMode != ReadTimeoutBlocking) {
        SerialCheck(false, "false");
        return Done(E_INVALIDARG);
    }
    port->m_readMode.store(eReadTimeoutMode);
    return Done(ERROR_SUCCESS);
}

LONG CSerial::GetBaudrate() {
    termios settings{};
    if (ReadSetting("GetBaudrate", settings) != 0) return -1;
    return RateForSpeed(cfgetospeed(&settings));
}

int CSerial::GetDataBits() {
    termios settings{};
    if (ReadSetting("GetDataBits", settings) != 0) return -1;
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

int CSerial::GetParity() {
    termios settings{};
    if (ReadSetting("GetParity", settings) != 0) return -1;
    const tcflag_t flags = settings.c_cflag;
    if (!(flags & PARENB)) return NOPARITY;
    if (flags & CMSPAR) return (flags & PARODD) ? MARKPARITY : SPACEPARITY;
    return (flags & PARODD) ? ODDPARITY : EVENPARITY;
}

int CSerial::GetStopBits() {
    termios settings{};
    if (ReadSetting("GetStopBits", settings) != 0) return -1;
    return (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
}

CSerial::Handshake CSerial::GetHandshaking() {
    termios settings{};
    if (ReadSetting("GetHandshaking", settings) != 0) return HandshakeUnknown;
    if (settings.c_cflag & CRTSCTS) return HandshakeHardware;
    if ((settings.c_iflag & IXON) && (settings.c_iflag & IXOFF)) return HandshakeSoftware;
    return HandshakeOff;
}

BYTE CSerial::GetEventChar() {
    PortUse port = PortFor("GetEventChar");
    if (!port) return 0;
    return port->m_eventChar.load();
}

LONG CSerial::Write(const char* pString, DWORD* pdwWritten, LPOVERLAPPED lpOverlapped,
                    DWORD dwTimeout) {
    return Write(static_cast<const void*>(pString), pString ? std::strlen(pString) : 0, pdwWritten,
                 lpOverlapped, dwTimeout);
}

LONG CSerial::Write(const void* pData, size_t iLen, DWORD* pdwWritten, LPOVERLAPPED lpOverlapped,
                    DWORD dwTimeout) {
    SerialCheck(!lpOverlapped || pdwWritten, "!lpOverlapped || pdwWritten");
    m_lError.store(ERROR_SUCCESS);
    DWORD dwLocal = 0;
    DWORD& dwWritten = pdwWritten ? *pdwWritten : dwLocal;
    dwWritten = 0;
    PortUse port = PortFor("Write");
    if (!port) return ERROR_INVALID_HANDLE;
    OVERLAPPED internal{};
    OVERLAPPED* pRecord = nullptr;
    if (const LONG lStatus = PickRecord("Write", *port, lpOverlapped, dwTimeout, internal, pRecord))
        return lStatus;

    const BYTE* pBytes = static_cast<const BYTE*>(pData);
    std::size_t done = 0;
    if (const int error = WriteAvailable(port->Fd(), pBytes, iLen, done)) {
        const LONG lStatus = TransferStatus(*port, error);
        Trace("CSerial::Write - Unable to write the data\n");
        if (pRecord) FinishRecord(pRecord, lStatus, static_cast<DWORD>(done), false);
        return Done(lStatus);
    }
    if (done == iLen) {
        dwWritten = static_cast<DWORD>(done);
        if (pRecord) FinishRecord(pRecord, ERROR_SUCCESS, dwWritten, true);
        return Done(ERROR_SUCCESS);
    }

    if (lpOverlapped) {
        // The rest goes out on a helper thread with a copy of its own, so the caller's buffer
        // is free at once; the caller's record tells when the bytes are out.
        std::vector<BYTE> rest(pBytes + done, pBytes + iLen);
        PortBackend* pPort = &*port;
        const bool fStarted = port->StartHelper([pPort, rest = std::move(rest), lpOverlapped,
                                                 already = done](int cancelFd) {
            std::size_t sent = 0;
            LONG lStatus = ERROR_SUCCESS;
            while (sent < rest.size()) {
                const auto result = pPort->WaitWritable(Deadline(INFINITE), cancelFd);
                if (result.wake != PortBackend::Wake::Writable) {
                    lStatus = WaitStatus(result);
                    break;
                }
                if (const int error = WriteAvailable(pPort->Fd(), rest.data(), rest.size(), sent)) {
                    lStatus = TransferStatus(*pPort, error);
                    break;
                }
            }
            FinishRecord(lpOverlapped, lStatus, static_cast<DWORD>(already + sent), true);
        });
        if (!fStarted) {
            Trace("CSerial::Write - Unable to write the data\n");
            FinishRecord(lpOverlapped, ERROR_OPERATION_ABORTED, static_cast<DWORD>(done), false);
            return Done(ERROR_OPERATION_ABORTED);
        }
        return Done(ERROR_SUCCESS);
    }

    // No record of the caller's: wait here, within dwTimeout, until the port has taken it all.
    const Deadline deadline(dwTimeout);
    while (done < iLen) {
        const auto result = port->WaitWritable(deadline);
        if (result.wake != PortBackend::Wake::Writable) {
            const LONG lStatus = WaitStatus(result);
            if (lStatus != ERROR_TIMEOUT)
                Trace("CSerial::Write - Unable to wait until data has been sent\n");
            // The bytes the port took are gone down the line; the count says how many.
            dwWritten = static_cast<DWORD>(done);
            if (pRecord) FinishRecord(pRecord, lStatus, dwWritten, false);
            return Done(lStatus);
        }
        if (const int error = WriteAvailable(port->Fd(), pBytes, iLen, done)) {
            const LONG lStatus = TransferStatus(*port, error);
            Trace("CSerial::Write - Unable to write the data\n");
            dwWritten = static_cast<DWORD>(done);
            if (pRecord) FinishRecord(pRecord, lStatus, dwWritten, false);
            return Done(lStatus);
        }
    }
    dwWritten = static_cast<DWORD>(done);
    if (pRecord) FinishRecord(pRecord, ERROR_SUCCESS, dwWritten, true);
    return Done(ERROR_SUCCESS);
}

LONG CSerial::Read(void* pData, size_t iLen, DWORD* pdwRead, LPOVERLAPPED lpOverlapped,
                   DWORD dwTimeout) {
    SerialCheck(!lpOverlapped || pdwRead, "!lpOverlapped || pdwRead");
    m_lError.store(ERROR_SUCCESS);
    DWORD dwLocal = 0;
    DWORD& dwRead = pdwRead ? *pdwRead : dwLocal;
    dwRead = 0;
    PortUse port = PortFor("Read");
    if (!port) return ERROR_INVALID_HANDLE;
    if (iLen) std::memset(pData, 0xDC, iLen);
    OVERLAPPED internal{};
    OVERLAPPED* pRecord = nullptr;
    if (const LONG lStatus = PickRecord("Read", *port, lpOverlapped, dwTimeout, internal, pRecord))
        return lStatus;
    // Takes up to iLen bytes that are there now and completes the call.
    auto takeNow = [&]() -> LONG {
        std::size_t got = 0;
        const int error = ReadOnce(port->Fd(), pData, iLen, got);
        LONG lStatus = error ? TransferStatus(*port, error) : ERROR_SUCCESS;
        // With VMIN = VTIME = 0 a read of nothing and a read after a hang-up both return 0.
        if (lStatus == ERROR_SUCCESS && got == 0 && iLen != 0 && port->HungUp())
            lStatus = ERROR_DEVICE_NOT_CONNECTED;
        if (lStatus != ERROR_SUCCESS) {
            Trace("CSerial::Read - Unable to read the data\n");
            if (pRecord) FinishRecord(pRecord, lStatus, 0, false);
            return Done(lStatus);
        }
        dwRead = static_cast<DWORD>(got);
        if (pRecord) FinishRecord(pRecord, ERROR_SUCCESS, dwRead, true);
        return Done(ERROR_SUCCESS);
    };

    if (port->m_readMode.load() == ReadTimeoutImmediate) return takeNow();

    // Blocking mode: the bytes are taken only once all iLen are there, so a time-out loses
    // nothing that arrived.
    const long available = port->Available();
    if (available >= 0 && static_cast<std::size_t>(available) >= iLen) return takeNow();
    if (lpOverlapped) {
        PortBackend* pPort = &*port;
        const bool fStarted = port->StartHelper([pPort, pData, iLen, lpOverlapped](int cancelFd) {
            const auto result = pPort->WaitReadable(iLen, Deadline(INFINITE), cancelFd);
            LONG lStatus = WaitStatus(result);
            std::size_t got = 0;
            if (lStatus == ERROR_SUCCESS) {
                if (const int error = ReadOnce(pPort->Fd(), pData, iLen, got))
                    lStatus = TransferStatus(*pPort, error);
            }
            FinishRecord(lpOverlapped, lStatus, static_cast<DWORD>(got), true);
        });
        if (!fStarted) {
            Trace("CSerial::Read - Unable to read the data\n");
            FinishRecord(lpOverlapped, ERROR_OPERATION_ABORTED, 0, false);
            return Done(ERROR_OPERATION_ABORTED);
        }
        return Done(ERROR_SUCCESS);
    }
    const auto result = port->WaitReadable(iLen, Deadline(dwTimeout));
    if (result.wake != PortBackend::Wake::Arrival) {
        const LONG lStatus = WaitStatus(result);
        if (lStatus != ERROR_TIMEOUT)
            Trace("CSerial::Read - Unable to wait until data has been read\n");
        if (pRecord) FinishRecord(pRecord, lStatus, 0, false);
        return Done(lStatus);
    }
    return takeNow();
}

LONG CSerial::Purge() {
    PortUse port = PortFor("Purge");
    if (!port) return ERROR_INVALID_HANDLE;
    int result;
    do {
        result = tcflush(port->Fd(), TCIOFLUSH);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const LONG lStatus = StatusFromErrno(errno);
        Trace("CSerial::Purge - Unable to purge data\n");
        return Done(lStatus);
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerial::Break() {
    PortUse port = PortFor("Break");
    if (!port) return ERROR_INVALID_HANDLE;
    if (const int error = port->Driver().SetBreak(port->Fd(), true)) {
        Trace("CSerial::Break - Unable to set break\n");
        return Done(StatusFromErrno(error));
    }
    platform::Sleep(100);
    if (const int error = port->Driver().SetBreak(port->Fd(), false)) {
        Trace("CSerial::Break - Unable to clear break\n");
        return Done(StatusFromErrno(error));
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerial::ClearCommError(DWORD& dwErrors) {
    dwErrors = 0;
    PortUse port = UsePort();
    if (!port) return ERROR_INVALID_HANDLE;
    int error = 0;
    dwErrors = port->TakeErrors(error);
    return (error == 0 || KeepsNoCounters(error)) ? ERROR_SUCCESS : StatusFromErrno(error);
}

DWORD CSerial::GetError() {
    m_lError.store(ERROR_SUCCESS);
    if (!IsOpen()) {
        Trace("CSerial::GetError - Device is not opened\n");
        Done(ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD dwErrors = 0;
    if (const LONG lStatus = ClearCommError(dwErrors); lStatus != ERROR_SUCCESS) {
        Trace("CSerial::GetError - Unable to obtain COM status\n");
        Done(lStatus);
    }
    return dwErrors;
}

bool CSerial::ModemLine(const char* pszMethod, int iLine) {
    PortUse port = PortFor(pszMethod);
    if (!port) return false;
    int lines = 0;
    if (const int error = port->Driver().GetModemLines(port->Fd(), lines)) {
        platform::Tracef("CSerial::%s - Unable to obtain the modem status\n", pszMethod);
        Done(StatusFromErrno(error));
        return false;
    }
    return (lines & iLine) != 0;
}

bool CSerial::GetCTS() { return ModemLine("GetCTS", TIOCM_CTS); }
bool CSerial::GetDSR() { return ModemLine("GetDSR", TIOCM_DSR); }
bool CSerial::GetRing() { return ModemLine("GetRing", TIOCM_RNG); }
bool CSerial::GetRLSD() { return ModemLine("GetRLSD", TIOCM_CAR); }

void CSerial::ForgetMaskChange() {
    if (PortUse port = UsePort()) port->DrainMaskChange();
}

LONG CSerial::CancelPendingIo() {
    PortUse port = UsePort();
    if (!port) return ERROR_INVALID_HANDLE;
    port->CancelHelpers();
    return ERROR_SUCCESS;
}

int CSerial::ProbePort(const char* lpszDevice) {
    const std::string path = ResolvePortName(lpszDevice);
    if (path.empty()) return 1;
    std::unique_ptr<PortBackend> port;
    switch (PortBackend::Open(path, false, KernelLineDriver(), port)) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
            return 1;
        case ERROR_ACCESS_DENIED:
            return 2;
        default:
            return -1;
    }
}
