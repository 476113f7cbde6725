// CDeviceSerial: the program's port object, opened with the console's window object as the
// destination of its notifications.
#pragma once

#include "SerialLib/Serial/SerialWnd.h"
#include "platform/Messages.h"

class CDeviceSerial : public CSerialWnd {
  public:
    CDeviceSerial() = default;
    // Stops the listener before any part of the object is destroyed (same trace as
    // CSerialWnd's destructor, which then finds nothing left to do).
    ~CDeviceSerial() override;

    using CSerialWnd::Open;
    // Posts to pWnd->GetSafeHwnd(); the other arguments go to CSerialWnd::Open unchanged.
    [[nodiscard]] virtual LONG Open(const char* lpszDevice, platform::WindowObject* pWnd,
                                    UINT nComMsg = 0, LPARAM lParam = 0, DWORD dwInQueue = 0,
                                    DWORD dwOutQueue = 0);
};
