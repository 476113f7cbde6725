// Carries a call from the job's worker over to the window thread and waits for it, without ever
// deadlocking a window that is closing.
//
// A worker's call is posted to the window thread and the worker waits until it has run OR the
// window has started closing, whichever comes first. Once closing, no posted call runs any more
// and every new call returns at once, so the window thread may wait for the worker while the
// worker never waits for the window thread. A call made on the window thread itself runs directly.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QThread;

namespace pellorin {

class WindowThreadCall {
  public:
    // `window` is the object whose thread carries out the calls; it must outlive this helper's
    // use (the window owns the helper).
    explicit WindowThreadCall(QObject* window);
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
        bool done = false;
    };

    QObject* m_window;
    QThread* m_windowThread;  // taken once: the window never moves to another thread
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_closing = false;
};

}  // namespace pellorin
