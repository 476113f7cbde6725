// Carries a call from the job's worker over to the window thread and waits for it, without ever
// deadlocking a window that is closing.
//
// A worker's call is queued for the window thread and the worker waits until it has run OR the
// window has started closing, whichever comes first. Once closing, no queued call runs any more
// and every new call returns at once, so the window thread may wait for the worker while the
// worker never waits for the window thread. A call made on the window thread itself runs directly.
// The calls travel through a queue under this object's own lock (only a wake-up goes through
// Qt's event queue), so every hand-over between the threads is visible to ThreadSanitizer.
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QThread;

namespace pellorin {

class WindowThreadCall : public QObject {
    Q_OBJECT

  public:
    // Constructed on the window thread, whose event loop carries out the calls.
    WindowThreadCall();
    WindowThreadCall(const WindowThreadCall&) = delete;
    WindowThreadCall& operator=(const WindowThreadCall&) = delete;

    // Runs `call` on the window thread and returns true once it has run there; false, without
    // running it, when the window is closing (or starts closing while the worker waits).
    bool Run(std::function<void()> call);

    // The window is closing: wakes every waiting worker and refuses every later call. Window
    // thread; may be called more than once.
    void Close();
    [[nodiscard]] bool Closing() const;

  private:
    struct Pending {
        std::function<void()> call;
        bool done = false;
    };

    // Window thread: carries out the queued calls.
    Q_INVOKABLE void RunPending();

    QThread* m_windowThread;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Pending>> m_queue;
    bool m_closing = false;
};

}  // namespace pellorin
