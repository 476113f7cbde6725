// Posting a message to a "window" from any thread, and registering message ids by name.
//
// A MessageTarget is what a window handle stands for: something that queues (id, WPARAM,
// LPARAM) for its own thread. Post never blocks the caller on the receiving thread. A
// WindowObject is what a toolkit's window object stands for: it hands out its target.
// On Windows the ids are the system's registered messages, and a NativeWindowTarget posts to a
// real window (MessagesWin32.cpp).
#pragma once

#include <string>

#include "platform/Win32Types.h"

#ifdef _WIN32
// <windows.h> maps these names to their ANSI or wide functions; here they are ours.
#undef PostMessage
#undef RegisterWindowMessage
#endif

namespace platform {

class MessageTarget {
  public:
    virtual ~MessageTarget() = default;
    // Queues the message for the target's thread and returns at once; false when it was dropped
    // (the target no longer takes messages).
    virtual bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept = 0;
};

using HWND = MessageTarget*;

class WindowObject {
  public:
    virtual ~WindowObject() = default;
    [[nodiscard]] virtual HWND GetSafeHwnd() = 0;
};

// False when there is no target or it dropped the message.
bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// The same name always gives the same id, from 0xC000 upwards as on Windows; never 0.
[[nodiscard]] UINT RegisterWindowMessage(const std::string& name);

#ifdef _WIN32
// A real window as a target: Post is PostMessageA, which queues the message for the window's
// thread and never waits for it.
class NativeWindowTarget : public MessageTarget {
  public:
    explicit NativeWindowTarget(::HWND window) : m_window(window) {}
    bool Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept override;
    [[nodiscard]] ::HWND Window() const { return m_window; }

  private:
    ::HWND m_window;
};
#endif

}  // namespace platform
