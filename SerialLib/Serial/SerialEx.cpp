// CSerialEx: the listener thread and its start and stop.
#include "SerialLib/Serial/SerialEx.h"

#include <system_error>

#include "SerialLib/Serial/SerialErrors.h"
#include "platform/Trace.h"

namespace {
// How long a stop waits for the listener before it sets the mask again.
constexpr DWORD STOP_RETRY_MS = 50;
}  // namespace

CSerialEx::~CSerialEx() {
    if (HasListener()) {
        platform::Trace("CSerialEx::~CSerialEx - Serial port not closed\n");
        CSerialEx::Close();
    }
}

bool CSerialEx::HasListener() {
    std::lock_guard lock(m_mtxListener);
    return m_hListener.joinable();
}

LONG CSerialEx::Open(const char* lpszDevice, DWORD dwInQueue, DWORD dwOutQueue,
                     bool fStartListener) {
    const LONG lOpened = CSerial::Open(lpszDevice, dwInQueue, dwOutQueue, true);
    if (lOpened != ERROR_SUCCESS) return lOpened;
    {
        std::lock_guard lock(m_mtxListener);
        m_hevtListener = std::make_unique<platform::Event>();
        if (!m_hevtListener->Valid()) {
            const LONG lStatus = static_cast<LONG>(m_hevtListener->CreationError());
            m_hevtListener.reset();
            platform::Trace("CSerialEx::Open - Unable to create event\n");
            CSerial::Close();
            return Done(lStatus);
        }
    }
    if (fStartListener) {
        const LONG lStarted = StartListener();
        if (lStarted != ERROR_SUCCESS) return lStarted;
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerialEx::Close() {
    StopListener(INFINITE);
    {
        std::lock_guard lock(m_mtxListener);
        m_hevtListener.reset();
    }
    return CSerial::Close();
}

LONG CSerialEx::StartListener() {
    std::lock_guard lock(m_mtxListener);
    if (m_hListener.joinable()) return Done(ERROR_SUCCESS);
    SerialCheck(!m_fStopping.load(), "!m_fStopping");
    if (!m_hevtListener) m_hevtListener = std::make_unique<platform::Event>();
    platform::Event* pEvent = m_hevtListener.get();
    m_evtListenerEnded.Reset();
    try {
        m_hListener = std::thread([this, pEvent] {
            ThreadProc(*pEvent);
            m_evtListenerEnded.Set();
        });
    } catch (const std::system_error& failure) {
        platform::Trace("CSerialEx::StartListener - Unable to start COMM watcher thread\n");
        return Done(StatusFromErrno(failure.code().value()));
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerialEx::StopListener(DWORD /*dwTimeout*/) {
    std::lock_guard lock(m_mtxListener);
    if (m_hListener.joinable()) {
        if (m_hListener.get_id() == std::this_thread::get_id()) {
            // OnComEvent may not close its own port: the thread cannot wait for itself.
            SerialCheck(false, "StopListener is not called on the listener thread");
            return Done(ERROR_SUCCESS);
        }
        m_fStopping.store(true);
        // Setting the mask again ends the listener's pending wait. A listener that is between
        // two waits misses that on Windows, where a mask change ends only a wait that already
        // runs: the change is repeated until the listener has ended.
        do {
            (void)SetMask(GetEventMask());
        } while (m_evtListenerEnded.Wait(STOP_RETRY_MS) != WAIT_OBJECT_0);
        m_hListener.join();
        m_fStopping.store(false);
        // The listener may have ended before its wait took the change.
        ForgetMaskChange();
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerialEx::ThreadProc(platform::Event& evtListener) {
    for (;;) {
        platform::ResetEvent(evtListener);
        OVERLAPPED record = OverlappedFor(evtListener);
        const LONG lWait = WaitEvent(&record, INFINITE);
        if (lWait != ERROR_SUCCESS) {
            // A device that has gone ends the listener; its owner learns of it the way it learns
            // of every port event, from one last notification, here with the I/O error bit.
            if (lWait == ERROR_DEVICE_NOT_CONNECTED && !m_fStopping.load())
                OnComEvent(EV_ERR, CE_IOE);
            return lWait;
        }
        const bool fEnded = platform::WaitForSingleObject(evtListener, INFINITE) == WAIT_OBJECT_0;
        // What the wait came to: its event bits, or a failure of the port that ended it. Taken
        // also when the wait for it failed, so that nothing of it outlives this record.
        const LONG lEnded = EndWait(&record);
        if (!fEnded) {
            platform::Trace("CSerialEx::ThreadProc - Unable to wait until COM event has arrived\n");
            return ERROR_GEN_FAILURE;
        }
        if (lEnded == ERROR_DEVICE_NOT_CONNECTED) {
            if (!m_fStopping.load()) OnComEvent(EV_ERR, CE_IOE);
            return lEnded;
        }
        // A wait that ended with no event bits (a mask change, or a failure that left the device
        // in place) has nothing to report: it is started again quietly.
        if (!m_fStopping.load() && m_dwEvent == 0) continue;
        if (!m_fStopping.load()) {
            const DWORD dwEvent = GetEventType();
            DWORD dwError = 0;
            if (ClearCommError(dwError) != ERROR_SUCCESS) {
                platform::Trace("CSerialEx::ThreadProc - Unable to obtain COM status\n");
                dwError = 0;
            }
            if (dwEvent != 0) OnComEvent(dwEvent, dwError);
        }
        if (m_fStopping.load()) return ERROR_SUCCESS;
    }
}
