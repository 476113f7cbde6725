// CDeviceSerial: hands the window object's target to CSerialWnd.
#include "SerialLib/Serial/DeviceSerial.h"

CDeviceSerial::~CDeviceSerial() { CloseOnDestruction(); }

LONG CDeviceSerial::Open(const char* lpszDevice, platform::WindowObject* pWnd, UINT nComMsg,
                         LPARAM lParam, DWORD dwInQueue, DWORD dwOutQueue) {
    return CSerialWnd::Open(lpszDevice, pWnd ? pWnd->GetSafeHwnd() : nullptr, nComMsg, lParam,
                            dwInQueue, dwOutQueue);
}
