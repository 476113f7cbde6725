// Queueing window messages for the window thread.
#include "app/WindowMessages.h"

#include <QMetaObject>

namespace pellorin {

bool PostedMessageTarget::Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    std::lock_guard guard(m_mutex);
    if (m_detached) return false;
    // One wake-up for a batch: the window thread takes every message queued by then.
    const bool wake = m_queue.empty();
    m_queue.push_back({message, wParam, lParam});
    if (wake) QMetaObject::invokeMethod(this, "Deliver", Qt::QueuedConnection);
    return true;
}

void PostedMessageTarget::Deliver() {
    std::vector<Message> batch;
    {
        std::lock_guard guard(m_mutex);
        if (m_detached) return;
        batch.swap(m_queue);
    }
    for (const Message& item : batch) {
        // A message handled earlier in the batch may have closed the window.
        {
            std::lock_guard guard(m_mutex);
            if (m_detached) return;
        }
        m_handler(item.message, item.wParam, item.lParam);
    }
}

void PostedMessageTarget::Detach() {
    std::lock_guard guard(m_mutex);
    m_detached = true;
    m_queue.clear();
}

}  // namespace pellorin
