// A manual-reset event: once set it stays signalled, releasing every waiter, until it is reset.
// Waits are measured on the program clock (Clock.h), so a scaled clock shortens them too.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/Win32Types.h"

namespace platform {

class Event {
public:
    explicit Event(bool initiallySet = false) : m_set(initiallySet) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // True when signalled now; never waits.
    [[nodiscard]] bool IsSet() const;
    // Waits up to timeoutMs (INFINITE: no limit; 0: a test without waiting). Returns
    // WAIT_OBJECT_0 when the event is signalled, WAIT_TIMEOUT when the time ran out.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_set;
};

// The Win32 spelling, for code that reads better with it.
inline DWORD WaitForSingleObject(const Event& event, DWORD timeoutMs) { return event.Wait(timeoutMs); }
inline void SetEvent(Event& event) { event.Set(); }
inline void ResetEvent(Event& event) { event.Reset(); }

}  // namespace platform
