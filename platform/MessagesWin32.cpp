// Message posting and registered message ids on Windows: the system's own, so that a real
// window receives what the serial layer posts.
#include "platform/Messages.h"

namespace platform {

bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return target != nullptr && target->Post(message, wParam, lParam);
}

UINT RegisterWindowMessage(const std::string& name) {
    return ::RegisterWindowMessageA(name.c_str());
}

bool NativeWindowTarget::Post(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return ::PostMessageA(m_window, message, wParam, lParam) != FALSE;
}

}  // namespace platform
