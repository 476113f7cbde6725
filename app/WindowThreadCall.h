// The window's WindowCalls (console/WindowCalls.h) on Qt: the window thread's event loop
// carries out the worker's calls; only the wake-up goes through Qt's event queue, the calls
// travel under WindowCalls' own lock, so every hand-over is visible to ThreadSanitizer.
#pragma once

#include <QObject>
#include <functional>

#include "console/WindowCalls.h"

namespace pellorin {

class WindowThreadCall : public QObject {
    Q_OBJECT

  public:
    // Constructed on the window thread, whose event loop carries out the calls.
    WindowThreadCall();
    WindowThreadCall(const WindowThreadCall&) = delete;
    WindowThreadCall& operator=(const WindowThreadCall&) = delete;

    bool Run(std::function<void()> call) { return m_calls.Run(std::move(call)); }
    void Close() { m_calls.Close(); }
    [[nodiscard]] bool Closing() const { return m_calls.Closing(); }

  private:
    Q_INVOKABLE void RunPending() { m_calls.RunPending(); }

    WindowCalls m_calls;
};

}  // namespace pellorin
