// The records folder on Windows: under the user's own local application data, which only that
// user can reach; a folder that is a link (or another reparse point) is refused, and only plain
// files with records' names are pruned.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "console/RecordsFolder.h"
#include "platform/Environment.h"
#include "platform/Trace.h"
#include "platform/Win32Types.h"

namespace pellorin {
namespace {

bool IsReparsePoint(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

std::string DefaultRecordsFolder() {
    std::string local = platform::EnvironmentValue("LOCALAPPDATA");
    if (local.empty()) {
        const std::string profile = platform::EnvironmentValue("USERPROFILE");
        if (!profile.empty()) local = profile + "\\AppData\\Local";
    }
    if (local.empty()) {
        platform::Trace("UpdateRecord - no local application data folder: records are off\n");
        return "";
    }
    return local + "\\Pellorin\\records";
}

void RecordsFolder::Close() {}

bool RecordsFolder::Open(const std::string& path) {
    m_path = path;
    m_problem.clear();
    std::error_code error;
    if (IsReparsePoint(path)) {
        m_problem = "the records folder is a symbolic link";
        return false;
    }
    std::filesystem::create_directories(path, error);
    if (!std::filesystem::is_directory(path, error)) {
        m_problem = "cannot make the records folder";
        return false;
    }
    return true;
}

std::FILE* RecordsFolder::Create(const std::string& name) {
    const HANDLE handle = ::CreateFileA(PathOf(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_FILE_EXISTS) errno = EEXIST;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
    if (fd < 0) {
        ::CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "w");
    if (file == nullptr) _close(fd);
    return file;
}

bool RecordsFolder::Sync(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

std::string RecordsFolder::PathOf(const std::string& name) const { return m_path + "\\" + name; }

void RecordsFolder::Prune(std::size_t keep) {
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(m_path, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code kindError;
        if (IsRecordName(name) &&
            it->symlink_status(kindError).type() == std::filesystem::file_type::regular &&
            !IsReparsePoint(PathOf(name))) {
            names.push_back(name);
        }
    }
    if (names.size() <= keep) return;
    std::sort(names.begin(), names.end());
    for (std::size_t i = 0; i + keep < names.size(); ++i)
        std::filesystem::remove(PathOf(names[i]), error);
}

}  // namespace pellorin
