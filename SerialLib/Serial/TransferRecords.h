// The transfer records of the backends that complete them themselves (the Linux tty, and a port
// behind a network serial server on every system): a transfer marks its record running when it
// starts and stores its status and byte count when it ends, which is what the completion tests of
// SerialTypes.h read.
#pragma once

#include <atomic>
#include <cstdint>

#include "SerialLib/Serial/SerialTypes.h"
#include "platform/Event.h"

namespace serial {

#ifdef _WIN32
inline constexpr ULONG_PTR kStatusCancelled = 0xC0000120;     // ERROR_OPERATION_ABORTED
inline constexpr ULONG_PTR kStatusDisconnected = 0xC000020C;  // the connection has gone

inline void StartRecord(OVERLAPPED* record) {
    record->InternalHigh = 0;
    record->Internal = STATUS_PENDING;
    if (record->hEvent) ::ResetEvent(record->hEvent);
}

inline void FinishRecord(OVERLAPPED* record, LONG status, DWORD count, bool signal) {
    const HANDLE event = record->hEvent;
    record->InternalHigh = count;
    record->Internal = status == ERROR_SUCCESS             ? 0
                       : status == ERROR_OPERATION_ABORTED ? kStatusCancelled
                                                           : kStatusDisconnected;
    if (signal && event) ::SetEvent(event);
}
#else
inline void StartRecord(OVERLAPPED* record) {
    std::atomic_ref<std::uintptr_t>(record->InternalHigh).store(0);
    std::atomic_ref<std::uintptr_t>(record->Internal).store(STATUS_PENDING);
    if (record->hEvent) record->hEvent->Reset();
}

inline void FinishRecord(OVERLAPPED* record, LONG status, DWORD count, bool signal) {
    // The event is read before the status is published: from then on the owner may reuse it.
    platform::Event* const event = record->hEvent;
    std::atomic_ref<std::uintptr_t>(record->InternalHigh).store(count);
    std::atomic_ref<std::uintptr_t>(record->Internal).store(static_cast<std::uint32_t>(status));
    if (signal && event) event->Set();
}
#endif

// The record a transfer completes: the caller's, or `internal` on the port's own event.
inline OVERLAPPED* PickRecord(platform::Event* internalEvent, LPOVERLAPPED lpOverlapped,
                              OVERLAPPED& internal) {
    if (!internalEvent) return nullptr;
    internal = OverlappedFor(*internalEvent);
    OVERLAPPED* record = lpOverlapped ? lpOverlapped : &internal;
    StartRecord(record);
    return record;
}

}  // namespace serial
