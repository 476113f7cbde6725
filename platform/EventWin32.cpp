// Manual-reset event over a Win32 event object, so that an overlapped transfer's record can
// carry its handle and the system signals it.
#include <chrono>

#include "platform/Clock.h"
#include "platform/Event.h"

namespace platform {

Event::Event(bool initiallySet)
    : m_handle(CreateEventA(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr)),
      m_creationError(m_handle ? 0 : ::GetLastError()) {}

Event::~Event() {
    if (m_handle) CloseHandle(m_handle);
}

bool Event::Valid() const { return m_handle != nullptr; }
DWORD Event::CreationError() const { return m_creationError; }
EventHandle Event::Handle() { return m_handle; }

void Event::Set() {
    if (m_handle) ::SetEvent(m_handle);
}

void Event::Reset() {
    if (m_handle) ::ResetEvent(m_handle);
}

bool Event::IsSet() const {
    return m_handle && ::WaitForSingleObject(m_handle, 0) == WAIT_OBJECT_0;
}

DWORD Event::Wait(DWORD timeoutMs) const {
    if (!m_handle) return WAIT_FAILED;
    if (timeoutMs == INFINITE || timeoutMs == 0) return ::WaitForSingleObject(m_handle, timeoutMs);
    // Whole real milliseconds, rounded up so that a wait never ends early; a very long wait is
    // made of several, since INFINITE must not be passed by accident.
    const auto deadline = std::chrono::steady_clock::now() + RealDuration(timeoutMs);
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const DWORD slice = ms <= 0 ? 0 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
        const DWORD result = ::WaitForSingleObject(m_handle, slice);
        if (result != WAIT_TIMEOUT || slice == 0) return result;
    }
}

}  // namespace platform
