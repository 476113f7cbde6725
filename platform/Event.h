// A manual-reset event: once set it stays signalled, releasing every waiter, until it is reset.
// Waits are measured on the program clock (Clock.h), so a scaled clock shortens them too.
// On Windows it is a Win32 event (EventWin32.cpp), whose handle a transfer's record can carry;
// elsewhere a mutex and a condition variable (EventPosix.cpp).
#pragma once

#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif

#include "platform/Win32Types.h"

namespace platform {

class Event;
// What a transfer's record holds to signal its completion: the Win32 handle on Windows.
#ifdef _WIN32
using EventHandle = HANDLE;
#else
using EventHandle = Event*;
#endif

class Event {
  public:
    explicit Event(bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // False when the system could not create the event (Windows only); every call then fails.
    [[nodiscard]] bool Valid() const;
    // The system's error code when the event could not be created; 0 otherwise.
    [[nodiscard]] DWORD CreationError() const;
    [[nodiscard]] EventHandle Handle();

    void Set();
    void Reset();
    // True when signalled now; never waits.
    [[nodiscard]] bool IsSet() const;
    // Waits up to timeoutMs (INFINITE: no limit; 0: a test without waiting). Returns
    // WAIT_OBJECT_0 when the event is signalled, WAIT_TIMEOUT when the time ran out.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const;

  private:
#ifdef _WIN32
    HANDLE m_handle;
    DWORD m_creationError;
#else
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_set;
#endif
};

// The Win32 spelling, for code that reads better with it.
inline DWORD WaitForSingleObject(const Event& event, DWORD timeoutMs) {
    return event.Wait(timeoutMs);
}
inline void SetEvent(Event& event) { event.Set(); }
inline void ResetEvent(Event& event) { event.Reset(); }

}  // namespace platform
