// The Windows backend of the serial layer: the Win32 communications API on a COM port opened
// with CreateFileA, overlapped or not, with the record rule's waits on the internal event. Every
// call goes through the CommCalls seam.
//
// A failure of any call may mean that the port's device has gone; it is reported as
// ERROR_DEVICE_NOT_CONNECTED once the system confirms it (DeviceLoss.h), and so from then on.
//
// The listener's wait. Where the driver's event wait cannot wait (Wine on a pseudo-terminal ends
// every WaitCommEvent after about a millisecond, cancelled and with no event, because it cannot
// read the line's modem state, and a listener that arms it again at once keeps a core busy), the
// listener waits by reading ahead instead: an overlapped read of one byte that completes when
// bytes arrive, reported as EV_RXCHAR; Read hands that byte out before the driver's. A port
// switches to it only after an event wait ended with no event although this port neither changed
// the mask nor cancelled its transfers, which a Windows driver does not do, and only while a read
// with nothing queued stays pending; where such a read returns at once (as Windows documents for
// immediate reads) the event wait stays in use. Either way, bytes already reported and not yet
// read are not reported again until the reader has taken them.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>

#include "SerialLib/Serial/CommCalls.h"
#include "SerialLib/Serial/DeviceLoss.h"
#include "SerialLib/Serial/PortBackend.h"
#include "SerialLib/Serial/PortNames.h"
#include "platform/Event.h"

// After windows.h (from the headers above), which it needs.
// clang-format off
#include <winternl.h>
// clang-format on

namespace {

// The name GetDefaultCommConfigA and QueryDosDeviceA know the port by: "COM<n>" without the
// device prefix.
std::string ConfigName(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

LONG LastError() { return static_cast<LONG>(::GetLastError()); }

// Read-aheads in a row that may end without a byte before the listener stops reading ahead.
constexpr int kEmptyReadsAtMost = 3;

class Win32Port final : public PortBackend, private DeviceProbe {
  public:
    ~Win32Port() override {
        Shutdown();
        if (m_port != INVALID_HANDLE_VALUE) m_calls->CloseHandle(m_port);
    }

    static PortResult OpenDevice(const std::string& name, bool overlapped,
                                 std::shared_ptr<CommCalls> calls,
                                 std::unique_ptr<PortBackend>& port) {
        std::unique_ptr<Win32Port> self(new Win32Port);
        self->m_calls = calls ? std::move(calls) : SystemCommCalls();
        self->m_name = name;
        self->m_port = self->m_calls->OpenDevice(ResolvePortName(name.c_str()).c_str(),
                                                 overlapped ? FILE_FLAG_OVERLAPPED : 0);
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
        if (!m_calls->SetupComm(m_port, dwInQueue, dwOutQueue)) return Failure(PortFailure::Call);
        return PortResult::Success();
    }

    PortResult ApplyDefaultConfiguration() override {
        COMMCONFIG config{};
        config.dwSize = sizeof config;
        DWORD size = sizeof config;
        if (!m_calls->DefaultConfig(ConfigName(m_name).c_str(), &config, &size))
            return PortResult::Failed(LastError(), PortFailure::Obtain);
        if (!m_calls->SetCommConfig(m_port, &config, size)) return Failure(PortFailure::Set);
        return PortResult::Success();
    }

    PortResult Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) override {
        DCB before{};
        before.DCBlength = sizeof before;
        if (!m_calls->GetCommState(m_port, &before)) return Failure(PortFailure::Obtain);
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
        if (!m_calls->GetCommState(m_port, &before)) return Failure(PortFailure::Obtain);
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
        if (!m_calls->GetCommTimeouts(m_port, &timeouts)) return Failure(PortFailure::Obtain);
        const bool immediate = eReadTimeoutMode == 0;
        timeouts.ReadIntervalTimeout = immediate ? MAXDWORD : 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        if (!m_calls->SetCommTimeouts(m_port, &timeouts)) return Failure(PortFailure::Set);
        std::lock_guard lock(m_readMutex);
        m_immediateReads = immediate;
        // A read-ahead belongs to immediate reads only: the listener waits again the other way.
        if (!immediate) EndListenerWaitLocked();
        return PortResult::Success();
    }

    PortResult GetLine(LineSettings& line) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!m_calls->GetCommState(m_port, &dcb)) return Failure(PortFailure::Obtain);
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
        if (!m_calls->GetCommState(m_port, &before)) return Failure(PortFailure::Obtain);
        DCB wanted = before;
        wanted.EvtChar = static_cast<char>(bEventChar);
        if (!m_calls->SetCommState(m_port, &wanted)) return Failure(PortFailure::Set);
        return PortResult::Success();
    }

    PortResult SetMask(DWORD dwMask) override {
        const bool set = m_calls->SetCommMask(m_port, dwMask) != FALSE;
        const LONG error = set ? ERROR_SUCCESS : LastError();
        if (set) ++m_maskChanges;
        {
            // The mask change ends a pending event wait by itself; a read-ahead or a parked wait
            // is ended here, also when the change failed, as the listener's stop relies on it.
            std::lock_guard lock(m_readMutex);
            EndListenerWaitLocked();
        }
        if (!set) return Failure(PortFailure::Call, error);
        return PortResult::Success();
    }

    PortResult WaitEvent(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped, DWORD dwTimeout) override {
        if (m_gone.load()) return Gone();
        if (lpOverlapped) {
            std::unique_lock lock(m_readMutex);
            m_listenerRecord = lpOverlapped;
            if (m_reportedUntaken && m_immediateReads) {
                // Bytes already reported and not yet read are no news: the wait starts once the
                // reader has taken them (Wine's event wait would end at once for them, again and
                // again).
                COMSTAT status{};
                if (!LookAtQueue(status)) return Failure(PortFailure::Call);
                if (m_haveAhead || status.cbInQue != 0) {
                    *pdwEvent = 0;
                    m_listenerWait = ListenerWait::Parked;
                    return PortResult::Success();
                }
                m_reportedUntaken = false;
            }
            if (m_eventWaitGivesUp && m_readsWait && m_immediateReads) {
                const PortResult ahead = WaitByReadingAhead(pdwEvent, lpOverlapped);
                if (!ahead.Ok() || m_listenerWait != ListenerWait::None) return ahead;
                // Reads do not wait here after all: the event wait it is.
            }
            m_listenerWait = ListenerWait::Event;
            m_maskChangesAtWait = m_maskChanges.load();
            m_cancelsAtWait = m_cancels.load();
        }
        OVERLAPPED internal{};
        OVERLAPPED* record = PickRecord(lpOverlapped, internal);
        if (m_calls->WaitCommEvent(m_port, pdwEvent, record)) {
            if (lpOverlapped) SetListenerWait(ListenerWait::Completed);
            return CompletedAtOnce(record, 0);
        }
        const PortResult result = Pending(record, lpOverlapped, dwTimeout, false);
        if (lpOverlapped && !result.Ok()) SetListenerWait(ListenerWait::None);
        return result;
    }

    PortResult EndWait(DWORD* pdwEvent, LPOVERLAPPED lpOverlapped) override {
        std::lock_guard lock(m_readMutex);
        if (lpOverlapped != m_listenerRecord) return PortResult::Success();
        const ListenerWait wait = m_listenerWait;
        const bool cancelled = m_listenerWaitCancelled;
        m_listenerWait = ListenerWait::None;
        m_listenerWaitCancelled = false;
        m_listenerRecord = nullptr;
        switch (wait) {
            case ListenerWait::None:
                return PortResult::Success();
            case ListenerWait::Completed:
                if (*pdwEvent & EV_RXCHAR) m_reportedUntaken = true;
                return PortResult::Success();
            case ListenerWait::Parked:
                *pdwEvent = 0;
                return PortResult::Success();
            case ListenerWait::Event: {
                // Only a mask change or a cancel of this port's own ends a Windows driver's event
                // wait with no event. Wine ends it so (as cancelled) where it cannot wait.
                const bool ours = m_maskChanges.load() != m_maskChangesAtWait ||
                                  m_cancels.load() != m_cancelsAtWait;
                DWORD count = 0;
                if (!m_calls->GetOverlappedResult(m_port, lpOverlapped, &count, TRUE)) {
                    const PortResult ended = EndedByFailure(pdwEvent, cancelled);
                    if (ended.status != ERROR_OPERATION_ABORTED || ours) return ended;
                    m_eventWaitGivesUp = true;
                    return PortResult::Success();
                }
                if (*pdwEvent == 0 && !ours) m_eventWaitGivesUp = true;
                if (*pdwEvent & EV_RXCHAR) m_reportedUntaken = true;
                return PortResult::Success();
            }
            case ListenerWait::ReadAhead: {
                DWORD count = 0;
                if (!HasOverlappedIoCompleted(lpOverlapped))
                    (void)m_calls->CancelIoEx(m_port, lpOverlapped);
                if (!m_calls->GetOverlappedResult(m_port, lpOverlapped, &count, TRUE))
                    return EndedByFailure(pdwEvent, cancelled);
                if (count == 0) {
                    // Ended without a byte (Wine ends a pending read so when the line's settings
                    // change): nothing to report, the listener waits again. Reads that keep
                    // ending so cannot wait for bytes here: the event wait it is.
                    if (++m_emptyReads >= kEmptyReadsAtMost) m_readsWait = false;
                    *pdwEvent = 0;
                    return PortResult::Success();
                }
                m_emptyReads = 0;
                m_haveAhead = true;
                m_reportedUntaken = true;
                *pdwEvent = EV_RXCHAR;
                return PortResult::Success();
            }
        }
        return PortResult::Success();
    }

    PortResult Write(const void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                     DWORD dwTimeout) override {
        if (m_gone.load()) return Gone();
        OVERLAPPED internal{};
        OVERLAPPED* record = PickRecord(lpOverlapped, internal);
        DWORD written = 0;
        if (m_calls->WriteFile(m_port, pData, static_cast<DWORD>(iLen), &written, record))
            return CompletedAtOnce(record, written);
        return Pending(record, lpOverlapped, dwTimeout, true);
    }

    PortResult Read(void* pData, std::size_t iLen, LPOVERLAPPED lpOverlapped,
                    DWORD dwTimeout) override {
        if (m_gone.load()) return Gone();
        std::unique_lock lock(m_readMutex);
        BYTE* bytes = static_cast<BYTE*>(pData);
        DWORD taken = 0;
        if (iLen != 0 && m_haveAhead) {
            bytes[taken++] = m_aheadByte;
            m_haveAhead = false;
        }
        OVERLAPPED internal{};
        OVERLAPPED* record = PickRecord(lpOverlapped, internal);
        if (!m_immediateReads) {
            // A blocking read may wait long: the listener must not wait for it.
            lock.unlock();
            if (taken != 0) return CompletedAtOnce(record, taken);
            return ReadFromDriver(bytes, static_cast<DWORD>(iLen), record, lpOverlapped, dwTimeout);
        }
        // The listener's read-ahead takes the next byte: the driver's bytes are behind it.
        if (m_listenerWait == ListenerWait::ReadAhead) return CompletedAtOnce(record, taken);
        // An immediate read asks only for what the driver holds: an overlapped read of an empty
        // queue does not return at once everywhere (Wine keeps it pending).
        COMSTAT status{};
        if (!LookAtQueue(status)) {
            PortResult failed = Failure(PortFailure::Call);
            failed.count = taken;
            return failed;
        }
        const DWORD room = static_cast<DWORD>(iLen) - taken;
        const DWORD length = std::min<DWORD>(room, status.cbInQue);
        if (status.cbInQue <= room) NoteTakenLocked();
        if (length == 0) return CompletedAtOnce(record, taken);
        PortResult result = ReadFromDriver(bytes + taken, length, record, lpOverlapped, dwTimeout);
        result.count += taken;
        return result;
    }

    PortResult Purge() override {
        if (!m_calls->PurgeComm(m_port, PURGE_TXCLEAR | PURGE_RXCLEAR))
            return Failure(PortFailure::Call);
        std::lock_guard lock(m_readMutex);
        m_haveAhead = false;
        NoteTakenLocked();
        return PortResult::Success();
    }

    PortResult SetBreak(bool on) override {
        if (!(on ? m_calls->SetCommBreak(m_port) : m_calls->ClearCommBreak(m_port)))
            return Failure(PortFailure::Call);
        return PortResult::Success();
    }

    PortResult ClearCommError(DWORD& dwErrors) override {
        DWORD errors = 0;
        if (!m_calls->ClearCommError(m_port, &errors, nullptr)) {
            dwErrors = 0;
            return Failure(PortFailure::Call);
        }
        dwErrors = errors | m_pendingErrors.exchange(0);
        return PortResult::Success();
    }

    PortResult GetModemStatus(DWORD& dwStatus) override {
        if (!m_calls->GetCommModemStatus(m_port, &dwStatus)) return Failure(PortFailure::Obtain);
        return PortResult::Success();
    }

    void CancelIo() override {
        ++m_cancels;
        (void)m_calls->CancelIoEx(m_port, nullptr);
    }

  protected:
    // Every pending transfer of the port, from any thread, completes with 995, which wakes the
    // threads that wait for the internal record; a parked listener is woken too.
    void WakeAll() override {
        (void)m_calls->CancelIoEx(m_port, nullptr);
        std::lock_guard lock(m_readMutex);
        if (m_listenerWait == ListenerWait::Parked) ::SetEvent(m_listenerRecord->hEvent);
    }

  private:
    // How the listener's current wait is made.
    enum class ListenerWait {
        None,
        Event,      // WaitCommEvent on the listener's record
        ReadAhead,  // an overlapped read of one byte on the listener's record
        Completed,  // completed at once, its event bits in place
        Parked,     // bytes already reported are waiting for the reader: Read ends the wait
    };

    Win32Port() = default;

    // DeviceProbe: the name still leads to a device (a name that is no COM name cannot be
    // looked up and counts as resolving).
    bool NameResolves() override {
        if (!serial::ComNumber(ConfigName(m_name))) return true;
        char target[1024];
        if (m_calls->DosDeviceTarget(ConfigName(m_name).c_str(), target, sizeof target) != 0)
            return true;
        return ::GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    }
    // DeviceProbe: the driver still answers for the open port.
    bool PortAnswers() override {
        COMSTAT status{};
        return LookAtQueue(status);
    }

    // What the driver holds (`status`), its line errors kept for the listener's next report: a
    // look at the queue must not take them. False, with GetLastError set, when the call failed.
    bool LookAtQueue(COMSTAT& status) {
        DWORD errors = 0;
        if (!m_calls->ClearCommError(m_port, &errors, &status)) return false;
        m_pendingErrors.fetch_or(errors);
        return true;
    }

    // A transfer or wait on a port whose device has gone fails at once.
    static PortResult Gone() {
        return PortResult::Failed(ERROR_DEVICE_NOT_CONNECTED, PortFailure::Call);
    }

    // The failure of the call just made (its GetLastError), as the port's loss when the system
    // confirms that its device has gone.
    PortResult Failure(PortFailure step) { return Failure(step, LastError()); }
    PortResult Failure(PortFailure step, LONG error) {
        if (m_gone.load()) return PortResult::Failed(ERROR_DEVICE_NOT_CONNECTED, step);
        // Transfers ended by the close are no loss, and the device is not asked about then.
        if (Closing()) return PortResult::Failed(error, step);
        const LONG status = ConfirmDeviceLoss(error, *this);
        if (status == ERROR_DEVICE_NOT_CONNECTED) m_gone.store(true);  // confirmed, so it stays
        return PortResult::Failed(status, step);
    }

    // The listener's wait ended in a failure: nothing to report when the wait was ended on
    // purpose (a mask change, a new read mode, the close), else the failure.
    PortResult EndedByFailure(DWORD* pdwEvent, bool cancelled) {
        const LONG error = LastError();
        *pdwEvent = 0;
        if (error == ERROR_OPERATION_ABORTED && (cancelled || Closing()))
            return PortResult::Success();
        return Failure(PortFailure::Wait, error);
    }

    // With m_readMutex held: the listener waits by reading one byte ahead, or reports bytes that
    // are already waiting. Leaves m_listenerWait None when reads cannot wait on this port.
    PortResult WaitByReadingAhead(DWORD* pdwEvent, LPOVERLAPPED record) {
        *pdwEvent = 0;
        COMSTAT status{};
        if (!LookAtQueue(status)) return Failure(PortFailure::Call);
        if (m_haveAhead || status.cbInQue != 0) return ReportArrival(pdwEvent, record);
        DWORD count = 0;
        if (m_calls->ReadFile(m_port, &m_aheadByte, 1, &count, record)) {
            if (count == 0) {
                m_readsWait = false;
                return PortResult::Success();
            }
            m_haveAhead = true;
            return ReportArrival(pdwEvent, record);
        }
        const LONG error = LastError();
        if (error != ERROR_IO_PENDING) return Failure(PortFailure::Call, error);
        m_listenerWait = ListenerWait::ReadAhead;
        return PortResult::Success();
    }

    PortResult ReportArrival(DWORD* pdwEvent, LPOVERLAPPED record) {
        m_reportedUntaken = true;
        *pdwEvent = EV_RXCHAR;
        m_listenerWait = ListenerWait::Completed;
        ::SetEvent(record->hEvent);
        return PortResult::Success();
    }

    void SetListenerWait(ListenerWait wait) {
        std::lock_guard lock(m_readMutex);
        m_listenerWait = wait;
    }

    // With m_readMutex held: the reader has emptied the port, so a later arrival is news.
    void NoteTakenLocked() {
        m_reportedUntaken = false;
        if (m_listenerWait == ListenerWait::Parked) ::SetEvent(m_listenerRecord->hEvent);
    }

    // With m_readMutex held: ends a read-ahead or a parked wait of the listener.
    void EndListenerWaitLocked() {
        if (m_listenerWait == ListenerWait::ReadAhead) {
            m_listenerWaitCancelled = true;
            (void)m_calls->CancelIoEx(m_port, m_listenerRecord);
        } else if (m_listenerWait == ListenerWait::Parked) {
            ::SetEvent(m_listenerRecord->hEvent);
        }
    }

    PortResult ReadFromDriver(BYTE* bytes, DWORD length, OVERLAPPED* record,
                              LPOVERLAPPED lpOverlapped, DWORD dwTimeout) {
        DWORD read = 0;
        if (m_calls->ReadFile(m_port, bytes, length, &read, record))
            return CompletedAtOnce(record, read);
        return Pending(record, lpOverlapped, dwTimeout, true);
    }

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
        if (error != ERROR_IO_PENDING || !record) return Failure(PortFailure::Call, error);
        if (lpOverlapped) return PortResult::Success(0);
        const DWORD waited = m_overlappedEvent->Wait(dwTimeout);
        if (waited == WAIT_OBJECT_0) {
            // An event wait takes no result: its bits are in the caller's field already.
            if (!takeCount) return PortResult::Success();
            DWORD count = 0;
            if (!m_calls->GetOverlappedResult(m_port, record, &count, FALSE))
                return Failure(PortFailure::Result);
            return PortResult::Success(count);
        }
        const LONG waitError = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastError();
        // The internal record lives on this call's stack: the cancelled transfer must have
        // ended before it goes. What it moved before the cancel is reported, not lost.
        (void)m_calls->CancelIoEx(m_port, record);
        DWORD count = 0;
        (void)m_calls->GetOverlappedResult(m_port, record, &count, TRUE);
        return PortResult::Failed(waitError, PortFailure::Wait, takeCount ? count : 0);
    }

    template <typename Check>
    PortResult SetState(const DCB& before, const DCB& wanted, Check applied) {
        DCB copy = wanted;
        if (!m_calls->SetCommState(m_port, &copy)) return Failure(PortFailure::Set);
        // A driver may take the call and still not apply a setting; only the read-back tells.
        DCB now{};
        now.DCBlength = sizeof now;
        if (!m_calls->GetCommState(m_port, &now) || !applied(now)) {
            DCB restore = before;
            (void)m_calls->SetCommState(m_port, &restore);
            return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Set);
        }
        return PortResult::Success();
    }

    std::shared_ptr<CommCalls> m_calls;
    HANDLE m_port = INVALID_HANDLE_VALUE;
    std::string m_name;
    std::unique_ptr<platform::Event> m_overlappedEvent;
    std::atomic<DWORD> m_pendingErrors{0};
    std::atomic<bool> m_gone{false};  // the device was confirmed gone
    std::atomic<unsigned> m_maskChanges{0};
    std::atomic<unsigned> m_cancels{0};  // CancelIo calls

    // Guards the read mode, the byte read ahead and the listener's wait, between Read (window
    // thread), WaitEvent and EndWait (listener) and the settings (worker).
    std::mutex m_readMutex;
    bool m_immediateReads = true;
    ListenerWait m_listenerWait = ListenerWait::None;
    LPOVERLAPPED m_listenerRecord = nullptr;
    bool m_listenerWaitCancelled = false;
    unsigned m_maskChangesAtWait = 0;
    unsigned m_cancelsAtWait = 0;
    bool m_eventWaitGivesUp = false;  // an event wait ended with no event and no mask change
    bool m_readsWait = true;          // a read with nothing queued stays pending
    int m_emptyReads = 0;             // read-aheads in a row that ended without a byte
    bool m_reportedUntaken = false;   // an arrival was reported and the port not emptied since
    BYTE m_aheadByte = 0;
    bool m_haveAhead = false;
};

}  // namespace

PortResult PortBackend::OpenLocal(const char* name, const PortOptions& options,
                                  std::unique_ptr<PortBackend>& port) {
    return Win32Port::OpenDevice(name, options.overlapped, options.commCalls, port);
}

LONG GetOverlappedStatus(const OVERLAPPED* lpOverlapped) {
    return static_cast<LONG>(RtlNtStatusToDosError(static_cast<NTSTATUS>(lpOverlapped->Internal)));
}
