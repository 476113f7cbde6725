// Carries a call from the job's worker over to the window thread and waits for it, without ever
// deadlocking a window that is closing. Toolkit-free: each console supplies the wake-up that makes
// its window thread call RunPending.
//
// A worker's call is queued for the window thread and the worker waits until it has run OR the
// window has started closing, whichever comes first. Once closing, no queued call runs any more
// and every new call returns at once, so the window thread may wait for the worker while the
// worker never waits for the window thread. A call made on the window thread itself runs
// directly. A call must capture by value what it writes: a worker released by the closing does
// not wait for a call already taken off the queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace pellorin {

class WindowCalls {
  public:
    // `wakeWindow` asks the window thread to call RunPending soon; it must not block.
    explicit WindowCalls(std::function<void()> wakeWindow) : m_wakeWindow(std::move(wakeWindow)) {}
    WindowCalls(const WindowCalls&) = delete;
    WindowCalls& operator=(const WindowCalls&) = delete;

    // The thread that carries out the calls.
    void SetWindowThread(std::thread::id id) { m_windowThread.store(id); }

    // Runs `call` on the window thread and returns true once it has run there; false, without
    // running it, when the window is closing (or starts closing while the worker waits).
    bool Run(std::function<void()> call);
    // Window thread: carries out the queued calls.
    void RunPending();
    // The window is closing: wakes every waiting worker and refuses every later call. Any
    // thread; may be called more than once.
    void Close();
    [[nodiscard]] bool Closing() const;

  private:
    struct Pending {
        std::function<void()> call;
        bool done = false;
    };

    const std::function<void()> m_wakeWindow;
    std::atomic<std::thread::id> m_windowThread{};
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<Pending>> m_queue;
    bool m_closing = false;
};

}  // namespace pellorin
