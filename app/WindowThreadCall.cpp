// Queueing a worker's call for the window thread and waiting for it or for the window's closing.
#include "app/WindowThreadCall.h"

#include <QMetaObject>
#include <QThread>

namespace pellorin {

WindowThreadCall::WindowThreadCall() : m_windowThread(QThread::currentThread()) {}

bool WindowThreadCall::Run(std::function<void()> call) {
    if (QThread::currentThread() == m_windowThread) {
        if (Closing()) return false;
        call();
        return true;
    }

    auto pending = std::make_shared<Pending>();
    pending->call = std::move(call);
    std::unique_lock lock(m_mutex);
    if (m_closing) return false;
    m_queue.push_back(pending);
    QMetaObject::invokeMethod(this, "RunPending", Qt::QueuedConnection);
    // `pending` is shared: a call taken off the queue just before the window closed finishes on
    // the window thread without writing to this (returned) worker's stack.
    m_changed.wait(lock, [&] { return pending->done || m_closing; });
    return pending->done;
}

void WindowThreadCall::RunPending() {
    for (;;) {
        std::shared_ptr<Pending> next;
        {
            std::lock_guard guard(m_mutex);
            if (m_closing || m_queue.empty()) return;
            next = std::move(m_queue.front());
            m_queue.pop_front();
        }
        next->call();
        std::lock_guard guard(m_mutex);
        next->done = true;
        m_changed.notify_all();
    }
}

void WindowThreadCall::Close() {
    std::lock_guard guard(m_mutex);
    m_closing = true;
    m_queue.clear();
    m_changed.notify_all();
}

bool WindowThreadCall::Closing() const {
    std::lock_guard guard(m_mutex);
    return m_closing;
}

}  // namespace pellorin
