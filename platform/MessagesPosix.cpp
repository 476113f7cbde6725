// Message posting and the process-wide registry of named message ids (no window system).
#include <map>
#include <mutex>

#include "platform/Messages.h"

namespace platform {

bool PostMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return target != nullptr && target->Post(message, wParam, lParam);
}

UINT RegisterWindowMessage(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, UINT> ids;
    std::lock_guard lock(mutex);
    const auto [it, inserted] = ids.try_emplace(name, 0xC000u + static_cast<UINT>(ids.size()));
    return it->second;
}

}  // namespace platform
