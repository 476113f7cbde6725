// Regular files on Windows: a device name (CON, NUL, COM1, \\.\...) is never opened, and the
// handle opened must be a file on disk.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/RegularFile.h"
#include "platform/Win32Types.h"

namespace platform {
namespace {

// The names Windows reserves for devices in every folder, whatever their extension.
bool IsDeviceName(const std::string& path) {
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) return true;
    const std::size_t slash = path.find_last_of("\\/:");
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && (base.back() == ' ')) base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
        base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
           std::isdigit(static_cast<unsigned char>(base[3]));
}

}  // namespace

std::FILE* OpenRegularFile(const std::string& path, FileRefusal* refusal) {
    FileRefusal ignored;
    FileRefusal& why = refusal != nullptr ? *refusal : ignored;
    if (IsDeviceName(path)) {
        why = FileRefusal::Device;
        return nullptr;
    }
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                  ? FileRefusal::Missing
                  : FileRefusal::Unreadable;
        return nullptr;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        why = FileRefusal::Folder;
        return nullptr;
    }
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = FileRefusal::Unreadable;
        return nullptr;
    }
    const DWORD type = ::GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        why = type == FILE_TYPE_PIPE   ? FileRefusal::Fifo
              : type == FILE_TYPE_CHAR ? FileRefusal::Device
                                       : FileRefusal::Other;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        why = FileRefusal::Unreadable;
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) {
        _close(fd);
        why = FileRefusal::Unreadable;
        return nullptr;
    }
    why = FileRefusal::None;
    return file;
}

}  // namespace platform
