// The Windows backend of the serial layer: the Win32 communications API on a COM port opened
// with CreateFileA, overlapped or not, with the record rule's waits on the internal event.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <string>

#include "SerialLib/Serial/PortBackend.h"
#include "platform/Event.h"

// After windows.h (from the headers above), which it needs.
// clang-format off
#include <winternl.h>
// clang-format on

namespace {

// "COM<n>" (any case) is opened as \\.\COM<n>, the only form that reaches COM10 and above;
// any other name is opened as given.
bool IsComName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string prefix = name.substr(0, 3);
    for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return prefix == "COM" && std::all_of(name.begin() + 3, name.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) != 0;
           });
}

std::string DevicePath(const std::string& name) {
    return IsComName(name) ? "\\\\.\\" + name : name;
}

// The name GetDefaultCommConfigA knows the port by: "COM<n>" without the device prefix.
std::string ConfigName(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

LONG LastError() { return static_cast<LONG>(::GetLastError()); }

class Win32Port final : public PortBackend {
  public:
    ~Win32Port() override {
        Shutdown();
        if (m_port != INVALID_HANDLE_VALUE) ::CloseHandle(m_port);
    }

    static PortResult OpenDevice(const std::string& name, bool overlapped,
                                 std::unique_ptr<PortBackend>& port) {
        std::unique_ptr<Win32Port> self(new Win32Port);
        self->m_name = name;
        self->m_port =
            ::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (self->m_port == INVALID_HANDLE_VALUE)
            return PortResult::Failed(LastError(), PortFailure::Open);
        if (overlapped) {
            self->m_overlappedEvent = std::make_unique<platform::Event>();
            if (!self->m_overlappedEvent->Valid())
                return PortResult::Failed(
                    static_cast<LONG>(self->m_overlappedEvent->CreationError()),
                    PortFailure::Create);
        }
        port = std::move(self);
        return PortResult::Success();
    }

    [[nodiscard]] const void* InternalEvent() const override { return m_overlappedEvent.get(); }

    PortResult SetQueues(DWORD dwInQueue, DWORD dwOutQueue) override {
        if (!::SetupComm(m_port, dwInQueue, dwOutQueue))
            return PortResult::Failed(LastError(), PortFailure::Call);
        return PortResult::Success();
    }

    PortResult ApplyDefaultConfiguration() override {
        COMMCONFIG config{};
        config.dwSize = sizeof config;
        DWORD size = sizeof config;
        if (!::GetDefaultCommConfigA(ConfigName(m_name).c_str(), &config, &size))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        if (!::SetCommConfig(m_port, &config, size))
            return PortResult::Failed(LastError(), PortFailure::Set);
        return PortResult::Success();
    }

    PortResult Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) override {
        DCB before{};
        before.DCBlength = sizeof before;
        if (!::GetCommState(m_port, &before))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        DCB wanted = before;
        wanted.BaudRate = dwBaudrate;
        wanted.ByteSize = bDataBits;
        wanted.Parity = bParity;
        wanted.StopBits = bStopBits;
        wanted.fParity = bParity != NOPARITY ? 1 : 0;
        return SetState(before, wanted, [&](const DCB& applied) {
            return applied.BaudRate == wanted.BaudRate && applied.ByteSize == wanted.ByteSize &&
                   applied.Parity == wanted.Parity && applied.StopBits == wanted.StopBits;
        });
    }

    PortResult SetupHandshaking(int eHandshake) override {
        DCB before{};
        before.DCBlength = sizeof before;
        if (!::GetCommState(m_port, &before))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        DCB wanted = before;
        const bool hardware = eHandshake == 1, software = eHandshake == 2;
        wanted.fOutxCtsFlow = hardware;
        wanted.fOutxDsrFlow = hardware;
        wanted.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
        wanted.fOutX = software;
        wanted.fInX = software;
        wanted.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        return SetState(before, wanted, [&](const DCB& applied) {
            return applied.fOutxCtsFlow == wanted.fOutxCtsFlow && applied.fOutX == wanted.fOutX &&
                   applied.fInX == wanted.fInX && applied.fDtrControl == wanted.fDtrControl &&
                   applied.fRtsControl == wanted.fRtsControl;
        });
    }

    PortResult SetupReadTimeouts(int eReadTimeoutMode) override {
        COMMTIMEOUTS timeouts{};
        if (!::GetCommTimeouts(m_port, &timeouts))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        const bool immediate = eReadTimeoutMode == 0;
        timeouts.ReadIntervalTimeout = immediate ? MAXDWORD : 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        if (!::SetCommTimeouts(m_port, &timeouts))
            return PortResult::Failed(LastError(), PortFailure::Set);
        m_immediateReads = immediate;
        return PortResult::Success();
    }

    PortResult GetLine(LineSettings& line) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(m_port, &dcb))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        line.baudrate = static_cast<LONG>(dcb.BaudRate);
        line.dataBits = dcb.ByteSize;
        line.parity = dcb.fParity ? dcb.Parity : NOPARITY;
        line.stopBits = dcb.StopBits;
        line.ctsFlow = dcb.fOutxCtsFlow;
        line.dsrFlow = dcb.fOutxDsrFlow;
        line.dtrHandshake = dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
        line.rtsHandshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        line.xonXoff = dcb.fOutX && dcb.fInX;
        line.eventChar = static_cast<BYTE>(dcb.EvtChar);
        return PortResult::Success();
    }

    PortResult SetEventChar(BYTE bEventChar) override {
        DCB before{};
        before.DCBlength = sizeof before;
        if (!::GetCommState(m_port, &before))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        DCB wanted = before;
        wanted.EvtChar = static_cast<char>(bEventChar);
        if (!::SetCommState(m_port, &wanted))
            return PortResult::Failed(LastError(), PortFailure::Set);
        return PortResult::Success();
    }

    PortResult SetMask(DWORD dwMask) override {
        if (!::SetCommMask(m_port, dwMask))
            return PortResult::Failed(LastError(), PortFailure::Call);
        return PortResult::Success();
    }

    PortResult WaitEvent(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped, DWORD dwTimeout) override {
        OVERLAPPED internal{};
        OVERLAPPED* record = PickRecord(lpOverlapped, internal);
        if (::WaitCommEvent(m_port, pdwEvent, record)) return CompletedAtOnce(record, 0);
        return Pending(record, lpOverlapped, dwTimeout, false);
    }

    PortResult Write(const void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                     DWORD dwTimeout) override {
        OVERLAPPED internal{};
        OVERLAPPED* record = PickRecord(lpOverlapped, internal);
        DWORD written = 0;
        if (::WriteFile(m_port, pData, static_cast<DWORD>(iLen), &written, record))
            return CompletedAtOnce(record, written);
        return Pending(record, lpOverlapped, dwTimeout, true);
    }

    PortResult Read(void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                    DWORD dwTimeout) override {
        DWORD length = static_cast<DWORD>(iLen);
        if (m_immediateReads) {
            // An immediate read asks only for what the driver holds: an overlapped read of an
            // empty queue does not return at once everywhere (Wine keeps it pending).
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(m_port, &errors, &status))
                return PortResult::Failed(LastError(), PortFailure::Call);
            // The line errors belong to the listener's next report; this look must not take them.
            m_pendingErrors.fetch_or(errors);
            length = std::min<DWORD>(length, status.cbInQue);
        }
        OVERLAPPED internal{};
        OVERLAPPED* record = PickRecord(lpOverlapped, internal);
        if (length == 0 && m_immediateReads) return CompletedAtOnce(record, 0);
        DWORD read = 0;
        if (::ReadFile(m_port, pData, length, &read, record)) return CompletedAtOnce(record, read);
        return Pending(record, lpOverlapped, dwTimeout, true);
    }

    PortResult Purge() override {
        if (!::PurgeComm(m_port, PURGE_TXCLEAR | PURGE_RXCLEAR))
            return PortResult::Failed(LastError(), PortFailure::Call);
        return PortResult::Success();
    }

    PortResult SetBreak(bool on) override {
        if (!(on ? ::SetCommBreak(m_port) : ::ClearCommBreak(m_port)))
            return PortResult::Failed(LastError(), PortFailure::Call);
        return PortResult::Success();
    }

    PortResult ClearCommError(DWORD& dwErrors) override {
        DWORD errors = 0;
        if (!::ClearCommError(m_port, &errors, nullptr)) {
            dwErrors = 0;
            return PortResult::Failed(LastError(), PortFailure::Call);
        }
        dwErrors = errors | m_pendingErrors.exchange(0);
        return PortResult::Success();
    }

    PortResult GetModemStatus(DWORD& dwStatus) override {
        if (!::GetCommModemStatus(m_port, &dwStatus))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        return PortResult::Success();
    }

    void CancelIo() override { ::CancelIoEx(m_port, nullptr); }

  protected:
    // Every pending transfer of the port, from any thread, completes with 995, which wakes the
    // threads that wait for the internal record.
    void WakeAll() override { ::CancelIoEx(m_port, nullptr); }

  private:
    Win32Port() = default;

    OVERLAPPED* PickRecord(LPOVERLAPPED lpOverlapped, OVERLAPPED& internal) {
        if (!m_overlappedEvent) return nullptr;
        if (lpOverlapped) return lpOverlapped;
        internal = OVERLAPPED{};
        internal.hEvent = m_overlappedEvent->Handle();
        // A transfer that completed at once left the event signalled; not every system resets
        // it when the next one starts (Wine does not for WaitCommEvent).
        m_overlappedEvent->Reset();
        return &internal;
    }

    // A call that completed at once signals the record's event itself, so that a caller can
    // always wait on it.
    static PortResult CompletedAtOnce(OVERLAPPED* record, DWORD count) {
        if (record && record->hEvent) ::SetEvent(record->hEvent);
        return PortResult::Success(count);
    }

    // After a call that did not complete: pending on the caller's record is success; pending on
    // the internal record is waited for here.
    PortResult Pending(OVERLAPPED* record, LPOVERLAPPED lpOverlapped, DWORD dwTimeout,
                       bool takeCount) {
        const LONG error = LastError();
        if (error != ERROR_IO_PENDING || !record)
            return PortResult::Failed(error, PortFailure::Call);
        if (lpOverlapped) return PortResult::Success(0);
        const DWORD waited = m_overlappedEvent->Wait(dwTimeout);
        if (waited == WAIT_OBJECT_0) {
            // An event wait takes no result: its bits are in the caller's field already.
            if (!takeCount) return PortResult::Success();
            DWORD count = 0;
            if (!::GetOverlappedResult(m_port, record, &count, FALSE))
                return PortResult::Failed(LastError(), PortFailure::Result);
            return PortResult::Success(count);
        }
        const LONG waitError = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastError();
        // The internal record lives on this call's stack: the cancelled transfer must have
        // ended before it goes. What it moved before the cancel is reported, not lost.
        ::CancelIoEx(m_port, record);
        DWORD count = 0;
        (void)::GetOverlappedResult(m_port, record, &count, TRUE);
        return PortResult::Failed(waitError, PortFailure::Wait, takeCount ? count : 0);
    }

    template <typename Check>
    PortResult SetState(const DCB& before, const DCB& wanted, Check applied) {
        DCB copy = wanted;
        if (!::SetCommState(m_port, &copy))
            return PortResult::Failed(LastError(), PortFailure::Set);
        // A driver may take the call and still not apply a setting; only the read-back tells.
        DCB now{};
        now.DCBlength = sizeof now;
        if (!::GetCommState(m_port, &now) || !applied(now)) {
            DCB restore = before;
            (void)::SetCommState(m_port, &restore);
            return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
        }
        return PortResult::Success();
    }

    HANDLE m_port = INVALID_HANDLE_VALUE;
    std::string m_name;
    std::unique_ptr<platform::Event> m_overlappedEvent;
    std::atomic<bool> m_immediateReads{true};
    std::atomic<DWORD> m_pendingErrors{0};
};

}  // namespace

PortResult PortBackend::OpenLocal(const char* name, const PortOptions& options,
                                  std::unique_ptr<PortBackend>& port) {
    return Win32Port::OpenDevice(name, options.overlapped, port);
}

LONG PortBackend::ProbeLocal(const char* name) {
    const HANDLE handle = ::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    ::CloseHandle(handle);
    return ERROR_SUCCESS;
}

LONG GetOverlappedStatus(const OVERLAPPED* lpOverlapped) {
    return static_cast<LONG>(RtlNtStatusToDosError(static_cast<NTSTATUS>(lpOverlapped->Internal)));
}
