// The decision whether a failure of a port is the loss of its device, on every system: any
// failure may be one, and it is one only when the system confirms it.
#include <gtest/gtest.h>

#include "SerialLib/Serial/DeviceLoss.h"

namespace {

struct FakeProbe : DeviceProbe {
    bool nameResolves = true;
    bool portAnswers = true;
    int asked = 0;
    bool NameResolves() override {
        ++asked;
        return nameResolves;
    }
    bool PortAnswers() override {
        ++asked;
        return portAnswers;
    }
};

}  // namespace

TEST(DeviceLoss, AnyFailureIsALossExactlyWhenTheNameOrThePortSaysTheDeviceHasGone) {
    // Wine's codes for a line gone away, then those of Windows drivers for an unplugged adapter.
    for (const LONG code : {ERROR_NOT_READY, ERROR_BROKEN_PIPE, ERROR_ACCESS_DENIED,
                            ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED,
                            ERROR_DEVICE_NOT_CONNECTED, ERROR_INVALID_PARAMETER}) {
        SCOPED_TRACE(code);
        FakeProbe present;
        EXPECT_EQ(ConfirmDeviceLoss(code, present),
                  code == ERROR_DEVICE_NOT_CONNECTED ? ERROR_GEN_FAILURE : code);
        FakeProbe nameGone;
        nameGone.nameResolves = false;
        EXPECT_EQ(ConfirmDeviceLoss(code, nameGone), ERROR_DEVICE_NOT_CONNECTED);
        FakeProbe silent;
        silent.portAnswers = false;
        EXPECT_EQ(ConfirmDeviceLoss(code, silent), ERROR_DEVICE_NOT_CONNECTED);
    }
}

TEST(DeviceLoss, TheLayersOwnStatusesSayNothingOfTheDeviceAndAskNothing) {
    for (const LONG code : {ERROR_SUCCESS, ERROR_IO_PENDING, ERROR_TIMEOUT, ERROR_INVALID_FUNCTION,
                            ERROR_INVALID_HANDLE, E_INVALIDARG}) {
        FakeProbe gone;
        gone.nameResolves = gone.portAnswers = false;
        EXPECT_EQ(ConfirmDeviceLoss(code, gone), code);
        EXPECT_EQ(gone.asked, 0);
    }
}
