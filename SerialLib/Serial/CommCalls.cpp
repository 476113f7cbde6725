// The system's own Win32 calls behind the Windows backend's seam.
#include "SerialLib/Serial/CommCalls.h"

HANDLE CommCalls::OpenDevice(const char* path, DWORD flags) {
    return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                         nullptr);
}
BOOL CommCalls::CloseHandle(HANDLE port) { return ::CloseHandle(port); }
BOOL CommCalls::SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue) {
    return ::SetupComm(port, inQueue, outQueue);
}
BOOL CommCalls::DefaultConfig(const char* name, COMMCONFIG* config, DWORD* size) {
    return ::GetDefaultCommConfigA(name, config, size);
}
BOOL CommCalls::SetCommConfig(HANDLE port, COMMCONFIG* config, DWORD size) {
    return ::SetCommConfig(port, config, size);
}
BOOL CommCalls::GetCommState(HANDLE port, DCB* dcb) { return ::GetCommState(port, dcb); }
BOOL CommCalls::SetCommState(HANDLE port, DCB* dcb) { return ::SetCommState(port, dcb); }
BOOL CommCalls::GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
    return ::GetCommTimeouts(port, timeouts);
}
BOOL CommCalls::SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
    return ::SetCommTimeouts(port, timeouts);
}
BOOL CommCalls::SetCommMask(HANDLE port, DWORD mask) { return ::SetCommMask(port, mask); }
BOOL CommCalls::WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* record) {
    return ::WaitCommEvent(port, events, record);
}
BOOL CommCalls::WriteFile(HANDLE port, const void* data, DWORD length, DWORD* written,
                          OVERLAPPED* record) {
    return ::WriteFile(port, data, length, written, record);
}
BOOL CommCalls::ReadFile(HANDLE port, void* data, DWORD length, DWORD* read, OVERLAPPED* record) {
    return ::ReadFile(port, data, length, read, record);
}
BOOL CommCalls::GetOverlappedResult(HANDLE port, OVERLAPPED* record, DWORD* count, BOOL wait) {
    return ::GetOverlappedResult(port, record, count, wait);
}
BOOL CommCalls::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) {
    return ::ClearCommError(port, errors, status);
}
BOOL CommCalls::PurgeComm(HANDLE port, DWORD flags) { return ::PurgeComm(port, flags); }
BOOL CommCalls::SetCommBreak(HANDLE port) { return ::SetCommBreak(port); }
BOOL CommCalls::ClearCommBreak(HANDLE port) { return ::ClearCommBreak(port); }
BOOL CommCalls::GetCommModemStatus(HANDLE port, DWORD* status) {
    return ::GetCommModemStatus(port, status);
}
BOOL CommCalls::CancelIoEx(HANDLE port, OVERLAPPED* record) { return ::CancelIoEx(port, record); }
DWORD CommCalls::DosDeviceTarget(const char* name, char* target, DWORD size) {
    return ::QueryDosDeviceA(name, target, size);
}

std::shared_ptr<CommCalls> SystemCommCalls() {
    static const std::shared_ptr<CommCalls> calls = std::make_shared<CommCalls>();
    return calls;
}
