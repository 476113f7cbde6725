// Whether a failed call on an open port means that the port's device has gone: a USB adapter
// pulled out, the other end of a pseudo-terminal closed.
//
// Drivers do not agree on how they say so. Under Wine a line that went away fails with 21
// (ERROR_NOT_READY) or 109 (ERROR_BROKEN_PIPE); Windows drivers answer an unplugged adapter with 5,
// 22, 31, 995 or 1167, and use the same codes for failures that leave the device in place. So no
// code is trusted by itself: every failure of the port may be a loss, and the system is asked
// whether the device is still there before the failure is reported as one.
#pragma once

#include "platform/Win32Types.h"

// What the backend can ask the system about its open port.
class DeviceProbe {
  public:
    virtual ~DeviceProbe() = default;
    // False when the port's name no longer leads to a device.
    [[nodiscard]] virtual bool NameResolves() = 0;
    // False when the open port no longer answers a status query.
    [[nodiscard]] virtual bool PortAnswers() = 0;
};

// False for the statuses that say nothing about the device: success, a transfer still running,
// and the ones the serial layer gives itself (a wait that ran out, a record on a port without
// overlapped mode, a mode outside its enumeration, an operation on a closed port).
[[nodiscard]] bool MayMeanDeviceLoss(LONG status);

// ERROR_DEVICE_NOT_CONNECTED when `status` may mean a loss and the probe confirms it (the name no
// longer resolves, or the port no longer answers); otherwise `status` unchanged, except that a
// driver's own ERROR_DEVICE_NOT_CONNECTED for a device that is still there becomes
// ERROR_GEN_FAILURE: above this layer that code means a loss, and it stands only when confirmed.
[[nodiscard]] LONG ConfirmDeviceLoss(LONG status, DeviceProbe& probe);
