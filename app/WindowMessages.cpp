// Posting window messages as Qt events.
#include "app/WindowMessages.h"

#include <QCoreApplication>

namespace pellorin {

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool PostedMessageTarget::Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    // Under the lock, so that Detach() cannot let the receiver go between the test and the post;
    // events still queued for a receiver that is destroyed are discarded by Qt.
    std::lock_guard guard(m_mutex);
    if (m_receiver == nullptr) return false;
    QCoreApplication::postEvent(m_receiver, new WindowMessageEvent(message, wParam, lParam));
    return true;
}

void PostedMessageTarget::Detach() {
    std::lock_guard guard(m_mutex);
    m_receiver = nullptr;
}

}  // namespace pellorin
