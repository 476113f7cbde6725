// The seam between the Windows backend and the system: every Win32 call the backend makes on an
// open port goes through a CommCalls. The default one is the system's own; tests put a class in
// its place that makes chosen calls fail the way a driver does when its device has gone. Each
// call behaves as the system's does: its result, and the error in GetLastError on failure.
// Windows only.
#pragma once

#include <memory>

#include "platform/Win32Types.h"

class CommCalls {
  public:
    virtual ~CommCalls() = default;

    // CreateFileA with read and write access, no sharing, OPEN_EXISTING and these flags.
    virtual HANDLE OpenDevice(const char* path, DWORD flags);
    virtual BOOL CloseHandle(HANDLE port);
    virtual BOOL SetupComm(HANDLE port, DWORD inQueue, DWORD outQueue);
    // GetDefaultCommConfigA.
    virtual BOOL DefaultConfig(const char* name, COMMCONFIG* config, DWORD* size);
    virtual BOOL SetCommConfig(HANDLE port, COMMCONFIG* config, DWORD size);
    virtual BOOL GetCommState(HANDLE port, DCB* dcb);
    virtual BOOL SetCommState(HANDLE port, DCB* dcb);
    virtual BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
    virtual BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
    virtual BOOL SetCommMask(HANDLE port, DWORD mask);
    virtual BOOL WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* record);
    virtual BOOL WriteFile(HANDLE port, const void* data, DWORD length, DWORD* written,
                           OVERLAPPED* record);
    virtual BOOL ReadFile(HANDLE port, void* data, DWORD length, DWORD* read, OVERLAPPED* record);
    virtual BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* record, DWORD* count, BOOL wait);
    virtual BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status);
    virtual BOOL PurgeComm(HANDLE port, DWORD flags);
    virtual BOOL SetCommBreak(HANDLE port);
    virtual BOOL ClearCommBreak(HANDLE port);
    virtual BOOL GetCommModemStatus(HANDLE port, DWORD* status);
    virtual BOOL CancelIoEx(HANDLE port, OVERLAPPED* record);
    // QueryDosDeviceA: the length of the targets written, 0 on failure.
    virtual DWORD DosDeviceTarget(const char* name, char* target, DWORD size);
};

// The system's calls, shared by every port that was given no other.
std::shared_ptr<CommCalls> SystemCommCalls();
