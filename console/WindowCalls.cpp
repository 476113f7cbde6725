// Queueing a worker's call for the window thread and waiting for it or for the window's closing.
#include "console/WindowCalls.h"

namespace pellorin {

bool WindowCalls::Run(std::function<void()> call) {
    if (std::this_thread::get_id() == m_windowThread.load()) {
        if (Closing()) return false;
        call();
        return true;
    }
    auto pending = std::make_shared<Pending>();
    pending->call = std::move(call);
    {
        std::lock_guard lock(m_mutex);
        if (m_closing) return false;
        m_queue.push_back(pending);
    }
    m_wakeWindow();
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return pending->done || m_closing; });
    return pending->done;
}

void WindowCalls::RunPending() {
    for (;;) {
        std::shared_ptr<Pending> next;
        {
            std::lock_guard lock(m_mutex);
            if (m_closing || m_queue.empty()) return;
            next = std::move(m_queue.front());
            m_queue.pop_front();
        }
        next->call();
        std::lock_guard lock(m_mutex);
        next->done = true;
        m_changed.notify_all();
    }
}

void WindowCalls::Close() {
    std::lock_guard lock(m_mutex);
    m_closing = true;
    m_queue.clear();
    m_changed.notify_all();
}

bool WindowCalls::Closing() const {
    std::lock_guard lock(m_mutex);
    return m_closing;
}

}  // namespace pellorin
