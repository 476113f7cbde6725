// Posting a worker's call to the window thread and waiting for it or for the window's closing.
#include "app/WindowThreadCall.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace pellorin {

WindowThreadCall::WindowThreadCall(QObject* window)
    : m_window(window), m_windowThread(window->thread()) {}

bool WindowThreadCall::Run(std::function<void()> call) {
    if (QThread::currentThread() == m_windowThread) {
        if (Closing()) return false;
        call();
        return true;
    }

    auto pending = std::make_shared<Pending>();
    std::unique_lock lock(m_mutex);
    if (m_closing) return false;
    // The functor runs on the window thread. It checks the closing flag there, under the lock,
    // so a call that arrives after Close() never touches the window, and the worker (which has
    // already returned) is never written to: `pending` is shared, not on the worker's stack.
    QMetaObject::invokeMethod(
        m_window,
        [this, pending, call = std::move(call)] {
            {
                std::lock_guard guard(m_mutex);
                if (m_closing) return;
            }
            call();
            std::lock_guard guard(m_mutex);
            pending->done = true;
            m_changed.notify_all();
        },
        Qt::QueuedConnection);
    m_changed.wait(lock, [&] { return pending->done || m_closing; });
    return pending->done;
}

void WindowThreadCall::Close() {
    std::lock_guard guard(m_mutex);
    m_closing = true;
    m_changed.notify_all();
}

bool WindowThreadCall::Closing() const {
    std::lock_guard guard(m_mutex);
    return m_closing;
}

}  // namespace pellorin
