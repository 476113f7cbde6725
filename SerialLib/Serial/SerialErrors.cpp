// errno to status mapping (the Linux backend's errors, and a failed thread start everywhere),
// and the precondition trace of the serial classes.
#include "SerialLib/Serial/SerialErrors.h"

#include <cerrno>

#include "platform/Trace.h"

LONG StatusFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EIO:
            return ERROR_IO_DEVICE;
        case ENOTTY:
            return ERROR_NOT_SUPPORTED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        default:
            return ERROR_GEN_FAILURE;
    }
}

bool SerialCheck(bool condition, const char* text) {
    if (!condition) platform::Tracef("Assertion failed: %s\n", text);
    return condition;
}
