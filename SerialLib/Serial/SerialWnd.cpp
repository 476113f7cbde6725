// CSerialWnd: posting the port's events to a window.
#include "SerialLib/Serial/SerialWnd.h"

#include "platform/Trace.h"

const UINT CSerialWnd::DefaultComMsg = platform::RegisterWindowMessage("CSerialWnd_DefaultComMsg");

CSerialWnd::~CSerialWnd() { CloseOnDestruction(); }

void CSerialWnd::CloseOnDestruction() {
    if (HasListener()) {
        platform::Trace("CSerialWnd::~CSerialWnd - Serial port not closed\n");
        CSerialWnd::Close();
    }
}

LONG CSerialWnd::Open(const char* lpszDevice, platform::HWND hwndDest, UINT nComMsg, LPARAM lParam,
                      DWORD dwInQueue, DWORD dwOutQueue) {
    const LONG lOpened = CSerialEx::Open(lpszDevice, dwInQueue, dwOutQueue, false);
    if (lOpened != ERROR_SUCCESS) return lOpened;
    m_hwndTarget.store(hwndDest);
    m_nNotifyMsg.store(nComMsg ? nComMsg : DefaultComMsg);
    m_lNotifyParam.store(lParam);
    const LONG lStarted = StartListener();
    if (lStarted != ERROR_SUCCESS) {
        Close();
        return Done(lStarted);
    }
    return Done(ERROR_SUCCESS);
}

LONG CSerialWnd::Close() {
    m_hwndTarget.store(nullptr);
    m_nNotifyMsg.store(0);
    return CSerialEx::Close();
}

void CSerialWnd::OnComEvent(DWORD dwEvent, DWORD dwError) {
    const WPARAM wParam = (static_cast<WPARAM>(dwError & 0xFFFF) << 16) | (dwEvent & 0xFFFF);
    platform::PostMessage(m_hwndTarget.load(), m_nNotifyMsg.load(), wParam, m_lNotifyParam.load());
}
