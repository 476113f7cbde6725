// CSerial's class layer: status codes, preconditions, traces and the record rule over the
// backend that the build chose (PortBackend.h).
#include "SerialLib/Serial/Serial.h"

#include <cstring>
#include <string>

#include "SerialLib/Serial/SerialErrors.h"
#include "platform/Clock.h"
#include "platform/Trace.h"

using platform::Trace;

namespace {

constexpr DWORD DEFAULT_MASK = EV_RXCHAR | EV_BREAK | EV_ERR;

}  // namespace

CSerial::CSerial() = default;

CSerial::~CSerial() {
    if (IsOpen()) {
        Trace("CSerial::~CSerial - Serial port not closed\n");
        CSerial::Close();
    }
}

void CSerial::SetLineDriver(std::shared_ptr<LineDriver> pDriver) {
    std::lock_guard lock(m_mtxOpenClose);
    m_pLineDriver = std::move(pDriver);
}

void CSerial::SetCommCalls(std::shared_ptr<CommCalls> pCalls) {
    std::lock_guard lock(m_mtxOpenClose);
    m_pCommCalls = std::move(pCalls);
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
    LONG lQueues = ERROR_SUCCESS;
    {
        std::lock_guard openClose(m_mtxOpenClose);
        if (IsOpen()) {
            Trace("CSerial::Open - Port already opened\n");
            return Done(ERROR_ALREADY_INITIALIZED);
        }
        std::unique_ptr<PortBackend> port;
        const PortResult opened = PortBackend::Open(
            lpszDevice ? lpszDevice : "", {fOverlapped, m_pLineDriver, m_pCommCalls}, port);
        if (!opened.Ok()) {
            Trace(opened.failure == PortFailure::Create ? "CSerial::Open - Unable to create event\n"
                                                        : "CSerial::Open - Unable to open port\n");
            return Done(opened.status);
        }
        SerialCheck(m_hevtOverlapped.load() == nullptr, "m_hevtOverlapped == 0");
        if (dwInQueue || dwOutQueue) {
            SerialCheck(dwInQueue >= 16, "dwInQueue >= 16");
            SerialCheck(dwOutQueue >= 16, "dwOutQueue >= 16");
            const PortResult queues = port->SetQueues(dwInQueue, dwOutQueue);
            if (!queues.Ok()) {
                Trace("CSerial::Open - Unable to setup the COM-port\n");
                lQueues = queues.status;
            }
        }
        // The port is published even when the queues failed, so that the full virtual Close
        // below finds it.
        std::lock_guard lock(m_mtxPort);
        m_hPort = std::move(port);
        m_hevtOverlapped.store(m_hPort->InternalEvent());
    }
    if (lQueues != ERROR_SUCCESS) {
        Close();
        return Done(lQueues);
    }

    // The mask is set on a port just opened, which cannot refuse it; its status is not Open's.
    (void)SetMask(DEFAULT_MASK);
    const LONG lStatus = SetupReadTimeouts(ReadTimeoutImmediate);
    if (PortUse port = UsePort()) {
        const PortResult configured = port->ApplyDefaultConfiguration();
        if (configured.failure == PortFailure::Obtain)
            Trace("CSerial::Open - Unable to obtain default communication configuration.\n");
        else if (!configured.Ok())
            Trace("CSerial::Open - Unable to set default communication configuration.\n");
    }
    return Done(lStatus);
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

LONG CSerial::CheckRecord(const char* pszMethod, PortBackend& port, LPOVERLAPPED lpOverlapped,
                          DWORD dwTimeout) {
    if (!port.Overlapped() && (lpOverlapped || dwTimeout != INFINITE)) {
        platform::Tracef(
            "CSerial::%s - Overlapped I/O is disabled, specified parameters are illegal.\n",
            pszMethod);
        return Done(ERROR_INVALID_FUNCTION);
    }
    if (port.Overlapped())
        SerialCheck(!lpOverlapped || HasOverlappedIoCompleted(lpOverlapped),
                    "!m_hevtOverlapped || HasOverlappedIoCompleted(lpOverlapped)");
    return ERROR_SUCCESS;
}

LONG CSerial::Setup(DWORD dwBaudrate, BYTE bDataBits, BYTE bParity, BYTE bStopBits) {
    PortUse port = PortFor("Setup");
    if (!port) return ERROR_INVALID_HANDLE;
    const PortResult result = port->Setup(dwBaudrate, bDataBits, bParity, bStopBits);
    if (result.failure == PortFailure::Obtain)
        Trace("CSerial::Setup - Unable to obtain DCB information\n");
    else if (!result.Ok())
        Trace("CSerial::Setup - Unable to set DCB information\n");
    return Done(result.status);
}

LONG CSerial::SetEventChar(BYTE bEventChar, bool fAdjustMask) {
    {
        PortUse port = PortFor("SetEventChar");
        if (!port) return ERROR_INVALID_HANDLE;
        const PortResult result = port->SetEventChar(bEventChar);
        if (result.failure == PortFailure::Obtain) {
            Trace("CSerial::SetEventChar - Unable to obtain DCB information\n");
            return Done(result.status);
        }
        if (!result.Ok()) {
            Trace("CSerial::SetEventChar - Unable to set DCB information\n");
            return Done(result.status);
        }
    }
    if (fAdjustMask) return SetMask(GetEventMask() | EV_RXFLAG);
    return Done(ERROR_SUCCESS);
}

LONG CSerial::SetMask(DWORD dwMask) {
    PortUse port = PortFor("SetMask");
    if (!port) return ERROR_INVALID_HANDLE;
    const PortResult result = port->SetMask(dwMask);
    if (!result.Ok()) {
        Trace("CSerial::SetMask - Unable to set event mask\n");
        return Done(result.status);
    }
    m_dwMask.store(dwMask);
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
    if (const LONG lStatus = CheckRecord("WaitEvent", *port, lpOverlapped, dwTimeout))
        return lStatus;
    const PortResult result = port->WaitEvent(&m_dwEvent, lpOverlapped, dwTimeout);
    if (result.status != ERROR_TIMEOUT) {
        if (result.failure == PortFailure::Call)
            Trace("CSerial::WaitEvent - Unable to wait for COM event\n");
        else if (result.failure != PortFailure::None)
            Trace("CSerial::WaitEvent - Unable to wait until COM event has arrived\n");
    }
    return Done(result.status);
}

DWORD CSerial::GetEventType() {
    const DWORD dwEvent = m_dwEvent;
    m_dwEvent = 0;
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
    if (eHandshake != HandshakeOff && eHandshake != HandshakeHardware &&
        eHandshake != HandshakeSoftware) {
        SerialCheck(false, "false");
        return Done(E_INVALIDARG);
    }
    const PortResult result = port->SetupHandshaking(eHandshake);
    if (result.failure == PortFailure::Obtain)
        Trace("CSerial::SetupHandshaking - Unable to obtain DCB information\n");
    else if (!result.Ok())
        Trace("CSerial::SetupHandshaking - Unable to set DCB information\n");
    return Done(result.status);
}

LONG CSerial::SetupReadTimeouts(ReadTimeoutMode eReadTimeoutMode) {
    PortUse port = PortFor("SetupReadTimeouts");
    if (!port) return ERROR_INVALID_HANDLE;
    if (eReadTimeoutMode != ReadTimeoutImmediate && eReadTimeoutMode != ReadTimeoutBlocking) {
        SerialCheck(false, "false");
        return Done(E_INVALIDARG);
    }
    const PortResult result = port->SetupReadTimeouts(eReadTimeoutMode);
    if (result.failure == PortFailure::Obtain)
        Trace("CSerial::SetupReadTimeouts - Unable to obtain timeout information\n");
    else if (!result.Ok())
        Trace("CSerial::SetupReadTimeouts - Unable to set timeout information\n");
    return Done(result.status);
}

bool CSerial::ReadLine(const char* pszMethod, LineSettings& settings) {
    PortUse port = PortFor(pszMethod);
    if (!port) return false;
    const PortResult result = port->GetLine(settings);
    if (!result.Ok()) {
        platform::Tracef("CSerial::%s - Unable to obtain DCB information\n", pszMethod);
        Done(result.status);
        return false;
    }
    Done(ERROR_SUCCESS);
    return true;
}

LONG CSerial::GetBaudrate() {
    LineSettings settings;
    return ReadLine("GetBaudrate", settings) ? settings.baudrate : -1;
}

int CSerial::GetDataBits() {
    LineSettings settings;
    return ReadLine("GetDataBits", settings) ? settings.dataBits : -1;
}

int CSerial::GetParity() {
    LineSettings settings;
    return ReadLine("GetParity", settings) ? settings.parity : -1;
}

int CSerial::GetStopBits() {
    LineSettings settings;
    return ReadLine("GetStopBits", settings) ? settings.stopBits : -1;
}

CSerial::Handshake CSerial::GetHandshaking() {
    LineSettings settings;
    if (!ReadLine("GetHandshaking", settings)) return HandshakeUnknown;
    if (settings.dtrHandshake && settings.rtsHandshake) return HandshakeHardware;
    if (settings.xonXoff) return HandshakeSoftware;
    return HandshakeOff;
}

BYTE CSerial::GetEventChar() {
    LineSettings settings;
    return ReadLine("GetEventChar", settings) ? settings.eventChar : 0;
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
    if (const LONG lStatus = CheckRecord("Write", *port, lpOverlapped, dwTimeout)) return lStatus;
    const PortResult result = port->Write(pData, iLen, lpOverlapped, dwTimeout);
    // The bytes the port took are gone down the line, also when the rest failed.
    dwWritten = result.count;
    if (result.status != ERROR_TIMEOUT) {
        switch (result.failure) {
            case PortFailure::None:
                break;
            case PortFailure::Wait:
                Trace("CSerial::Write - Unable to wait until data has been sent\n");
                break;
            case PortFailure::Result:
                Trace("CSerial::Write - Overlapped completed without result\n");
                break;
            default:
                Trace("CSerial::Write - Unable to write the data\n");
                break;
        }
    }
    return Done(result.status);
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
    if (const LONG lStatus = CheckRecord("Read", *port, lpOverlapped, dwTimeout)) return lStatus;
    const PortResult result = port->Read(pData, iLen, lpOverlapped, dwTimeout);
    // Bytes a failed or timed-out read already took are in the buffer: the count says so, or
    // they would be lost (the Linux backend takes none then).
    dwRead = result.count;
    if (result.status != ERROR_TIMEOUT) {
        switch (result.failure) {
            case PortFailure::None:
                break;
            case PortFailure::Wait:
                Trace("CSerial::Read - Unable to wait until data has been read\n");
                break;
            case PortFailure::Result:
                Trace("CSerial::Read - Overlapped completed without result\n");
                break;
            default:
                Trace("CSerial::Read - Unable to read the data\n");
                break;
        }
    }
    return Done(result.status);
}

LONG CSerial::Purge() {
    PortUse port = PortFor("Purge");
    if (!port) return ERROR_INVALID_HANDLE;
    const PortResult result = port->Purge();
    if (!result.Ok()) Trace("CSerial::Purge - Unable to purge data\n");
    return Done(result.status);
}

LONG CSerial::Break() {
    PortUse port = PortFor("Break");
    if (!port) return ERROR_INVALID_HANDLE;
    if (const PortResult result = port->SetBreak(true); !result.Ok()) {
        Trace("CSerial::Break - Unable to set break\n");
        return Done(result.status);
    }
    platform::Sleep(100);
    if (const PortResult result = port->SetBreak(false); !result.Ok()) {
        Trace("CSerial::Break - Unable to clear break\n");
        return Done(result.status);
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerial::ClearCommError(DWORD& dwErrors) {
    dwErrors = 0;
    PortUse port = UsePort();
    if (!port) return ERROR_INVALID_HANDLE;
    return port->ClearCommError(dwErrors).status;
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

bool CSerial::ModemLine(const char* pszMethod, DWORD dwLine) {
    PortUse port = PortFor(pszMethod);
    if (!port) return false;
    DWORD dwStatus = 0;
    if (const PortResult result = port->GetModemStatus(dwStatus); !result.Ok()) {
        platform::Tracef("CSerial::%s - Unable to obtain the modem status\n", pszMethod);
        Done(result.status);
        return false;
    }
    return (dwStatus & dwLine) != 0;
}

bool CSerial::GetCTS() { return ModemLine("GetCTS", MS_CTS_ON); }
bool CSerial::GetDSR() { return ModemLine("GetDSR", MS_DSR_ON); }
bool CSerial::GetRing() { return ModemLine("GetRing", MS_RING_ON); }
bool CSerial::GetRLSD() { return ModemLine("GetRLSD", MS_RLSD_ON); }

LONG CSerial::EndWait(LPOVERLAPPED lpOverlapped) {
    PortUse port = UsePort();
    if (!port) return ERROR_INVALID_HANDLE;
    return port->EndWait(&m_dwEvent, lpOverlapped).status;
}

void CSerial::ForgetMaskChange() {
    if (PortUse port = UsePort()) port->ForgetMaskChange();
}

LONG CSerial::CancelPendingIo() {
    PortUse port = UsePort();
    if (!port) return ERROR_INVALID_HANDLE;
    port->CancelIo();
    return ERROR_SUCCESS;
}
