// The one place where a Linux error number becomes a status of the serial port classes, and the
// precondition check that reports a broken precondition as a trace line instead of aborting.
#pragma once

#include "platform/Win32Types.h"

// ENOENT/ENODEV/ENXIO -> ERROR_FILE_NOT_FOUND (2); EACCES/EPERM/EBUSY/EWOULDBLOCK (a lock held by
// someone else) -> ERROR_ACCESS_DENIED (5); EBADF -> ERROR_INVALID_HANDLE (6); EINVAL ->
// ERROR_INVALID_PARAMETER (87); EIO -> ERROR_IO_DEVICE (1117); ENOTTY -> ERROR_NOT_SUPPORTED (50);
// ENOMEM -> ERROR_NOT_ENOUGH_MEMORY (8); EMFILE/ENFILE -> ERROR_TOO_MANY_OPEN_FILES (4);
// anything else -> ERROR_GEN_FAILURE (31). A hang-up is not an errno: the callers that see one
// report ERROR_DEVICE_NOT_CONNECTED (1167) themselves.
[[nodiscard]] LONG StatusFromErrno(int error);

// Checks a precondition of the serial classes. A broken one writes "Assertion failed: <text>"
// and the operation goes on as the caller asked: callers must meet the preconditions, and a test
// of a broken one must be able to run to its end.
bool SerialCheck(bool condition, const char* text);
