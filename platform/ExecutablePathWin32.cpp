// The running program's path on Windows: the module file name of the executable.
#include "platform/ExecutablePath.h"
#include "platform/Win32Types.h"

namespace platform {

std::string ExecutablePath() {
    std::string path(MAX_PATH, '\0');
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD length =
            GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return "";
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 4);  // truncated: try a larger buffer
    }
    return "";
}

}  // namespace platform
