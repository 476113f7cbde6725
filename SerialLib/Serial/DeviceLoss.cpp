// The decision whether a failure of the port is the loss of its device.
#include "SerialLib/Serial/DeviceLoss.h"

bool MayMeanDeviceLoss(LONG status) {
    switch (status) {
        case ERROR_SUCCESS:
        case ERROR_IO_PENDING:
        case ERROR_TIMEOUT:
        case ERROR_INVALID_FUNCTION:
        case ERROR_INVALID_HANDLE:
        case E_INVALIDARG:
            return false;
        default:
            return true;
    }
}

LONG ConfirmDeviceLoss(LONG status, DeviceProbe& probe) {
    if (!MayMeanDeviceLoss(status)) return status;
    if (!probe.NameResolves() || !probe.PortAnswers()) return ERROR_DEVICE_NOT_CONNECTED;
    return status == ERROR_DEVICE_NOT_CONNECTED ? ERROR_GEN_FAILURE : status;
}
