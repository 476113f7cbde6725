// Window messages posted from other threads (the port's listener) to the window thread, as
// custom events, through a target that stops taking them once the window is closing.
#pragma once

#include <QEvent>
#include <mutex>

#include "platform/Messages.h"

class QObject;

namespace pellorin {

class WindowMessageEvent : public QEvent {
  public:
    WindowMessageEvent(UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(EventType()), Message(message), WParam(wParam), LParam(lParam) {}
    static QEvent::Type EventType();

    const UINT Message;
    const WPARAM WParam;
    const LPARAM LParam;
};

// The window's "handle": Post queues the message as a WindowMessageEvent and never blocks. After
// Detach() messages are dropped, so a listener that posts late never reaches a destroyed window.
class PostedMessageTarget : public platform::MessageTarget {
  public:
    explicit PostedMessageTarget(QObject* receiver) : m_receiver(receiver) {}
    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;
    void Detach();

  private:
    std::mutex m_mutex;
    QObject* m_receiver;
};

}  // namespace pellorin
