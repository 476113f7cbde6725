// The running program's path on Linux: the /proc link.
#include <unistd.h>

#include <climits>

#include "platform/ExecutablePath.h"

namespace platform {

std::string ExecutablePath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace platform
