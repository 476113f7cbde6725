// Window messages posted from other threads (the port's listener) to the window thread, through a
// target that stops taking them once the window is closing.
#pragma once

#include <QObject>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Messages.h"

namespace pellorin {

// The window's "handle": Post queues the message and never blocks; the window thread receives
// the queued messages in order through the handler. After Detach() messages are dropped, so a
// listener that posts late never reaches a destroyed window. The messages travel under this
// object's lock (only a wake-up goes through Qt's event queue).
class PostedMessageTarget : public QObject, public platform::MessageTarget {
    Q_OBJECT

  public:
    using Handler = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

    // Constructed on the window thread; the handler runs there.
    explicit PostedMessageTarget(Handler handler) : m_handler(std::move(handler)) {}

    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;
    // Window thread: no message is taken or delivered any more.
    void Detach();

  private:
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    Q_INVOKABLE void Deliver();

    Handler m_handler;
    std::mutex m_mutex;
    std::vector<Message> m_queue;
    bool m_detached = false;
};

}  // namespace pellorin
