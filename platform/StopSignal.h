// A one-way stop request that a worker's pauses and waits end on: set once when the window
// closes, so a job that is still running unwinds at once instead of sleeping out its time-outs.
#pragma once

#include <atomic>

#include "platform/Event.h"

namespace platform {

class StopSignal {
  public:
    void Request() {
        m_requested.store(true);
        m_event.Set();
    }
    [[nodiscard]] bool Requested() const { return m_requested.load(); }
    // Sleeps for ms program milliseconds, or less when a stop is requested. Returns false when
    // stopped.
    bool Pause(DWORD ms) const {
        if (m_event.Wait(ms) == WAIT_OBJECT_0) return false;
        return !Requested();
    }

  private:
    std::atomic<bool> m_requested{false};
    Event m_event;
};

}  // namespace platform
