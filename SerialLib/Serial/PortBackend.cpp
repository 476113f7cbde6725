// The in-use guards of an open port, shared by the backends, and the choice between a local
// port and a remote one.
#include "SerialLib/Serial/PortBackend.h"

#include <chrono>

#include "SerialLib/Serial/RemotePort.h"
#include "SerialLib/Serial/RemotePortName.h"

namespace {
constexpr std::chrono::milliseconds WAKE_AGAIN{50};
}  // namespace

bool PortBackend::TryUse() {
    std::lock_guard lock(m_useMutex);
    if (m_closing) return false;
    ++m_users;
    return true;
}

bool PortBackend::Closing() {
    std::lock_guard lock(m_useMutex);
    return m_closing;
}

void PortBackend::EndUse() {
    std::lock_guard lock(m_useMutex);
    if (--m_users == 0 && m_closing) m_useDropped.notify_all();
}

void PortBackend::Shutdown() {
    {
        std::lock_guard lock(m_useMutex);
        if (m_closing) return;
        m_closing = true;
    }
    WakeAll();
    // A thread that took its guard just before the close may start its transfer or wait just
    // after the wake-up; waking again until every guard has dropped ends that one too.
    std::unique_lock lock(m_useMutex);
    while (!m_useDropped.wait_for(lock, WAKE_AGAIN, [this] { return m_users == 0; })) {
        lock.unlock();
        WakeAll();
        lock.lock();
    }
    lock.unlock();
    AfterLastUse();
}

PortResult PortBackend::Open(const char* name, const PortOptions& options,
                             std::unique_ptr<PortBackend>& port) {
    if (!serial::IsRemotePortName(name)) return OpenLocal(name, options, port);
    const auto endpoint = serial::ParseRemotePortName(name);
    if (!endpoint) return PortResult::Failed(ERROR_INVALID_PARAMETER, PortFailure::Open);
    return serial::OpenRemotePort(*endpoint, options.overlapped, port);
}
