// Manual-reset event over a mutex and a condition variable; every wait has a predicate, so a
// wake-up is never lost and a spurious one is never taken for a signal.
#include "platform/Clock.h"
#include "platform/Event.h"

namespace platform {

Event::Event(bool initiallySet) : m_set(initiallySet) {}
Event::~Event() = default;

bool Event::Valid() const { return true; }
DWORD Event::CreationError() const { return 0; }
EventHandle Event::Handle() { return this; }

void Event::Set() {
    // Notified under the lock: a waiter that destroys the event as soon as its wait returns
    // cannot do so while Set still touches the condition variable.
    std::lock_guard lock(m_mutex);
    m_set = true;
    m_changed.notify_all();
}

void Event::Reset() {
    std::lock_guard lock(m_mutex);
    m_set = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(m_mutex);
    return m_set;
}

DWORD Event::Wait(DWORD timeoutMs) const {
    std::unique_lock lock(m_mutex);
    if (timeoutMs == INFINITE) {
        m_changed.wait(lock, [this] { return m_set; });
        return WAIT_OBJECT_0;
    }
    const auto deadline = std::chrono::steady_clock::now() + RealDuration(timeoutMs);
    return m_changed.wait_until(lock, deadline, [this] { return m_set; }) ? WAIT_OBJECT_0
                                                                          : WAIT_TIMEOUT;
}

}  // namespace platform
