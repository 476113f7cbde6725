// The records folder on POSIX: created 0700, opened once without following a link, owned by the
// user who runs the program, and every file in it made, looked at and deleted relative to that
// one open folder, so that a link put anywhere in its place is never followed.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console/RecordsFolder.h"
#include "platform/Trace.h"

namespace pellorin {
namespace {

std::string AbsoluteEnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    // A relative value is to be ignored, as the base directory rules say.
    return value != nullptr && value[0] == '/' ? value : "";
}

// The home the account database names for the user running the program.
std::string AccountHome() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return "";
    }
    return found->pw_dir;
}

// Makes each missing folder of `path`, readable by its user only.
void MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
        if (slash == std::string::npos) return;
    }
}

}  // namespace

std::string DefaultRecordsFolder() {
    std::string state = AbsoluteEnvironmentValue("XDG_STATE_HOME");
    if (state.empty()) {
        std::string home = AbsoluteEnvironmentValue("HOME");
        if (home.empty()) home = AccountHome();
        if (home.empty() || home == "/") {
            platform::Trace("UpdateRecord - no home folder of the user's own: records are off\n");
            return "";
        }
        state = home + "/.local/state";
    }
    return state + "/pellorin/records";
}

void RecordsFolder::Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool RecordsFolder::Open(const std::string& path) {
    Close();
    m_path = path;
    m_problem.clear();
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        MakeFolders(path);
    } else if (S_ISLNK(info.st_mode)) {
        m_problem = "the records folder is a symbolic link";
        return false;
    }
    m_fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0) {
        m_problem = errno == ELOOP
                        ? "the records folder is a symbolic link"
                        : std::string("cannot make the records folder: ") + std::strerror(errno);
        return false;
    }
    if (fstat(m_fd, &info) != 0 || info.st_uid != geteuid()) {
        m_problem = "the records folder belongs to another user";
        close(m_fd);
        m_fd = -1;
        return false;
    }
    // Records name hosts, ports and paths: the folder is its user's alone.
    if ((info.st_mode & 077) != 0) (void)fchmod(m_fd, 0700);
    return true;
}

std::FILE* RecordsFolder::Create(const std::string& name) {
    if (m_fd < 0) return nullptr;
    const int fd =
        openat(m_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "w");
    if (file == nullptr) close(fd);
    return file;
}

bool RecordsFolder::Sync(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

std::string RecordsFolder::PathOf(const std::string& name) const { return m_path + "/" + name; }

void RecordsFolder::Prune(std::size_t keep) {
    if (m_fd < 0) return;
    const int listing = dup(m_fd);
    if (listing < 0) return;
    DIR* folder = fdopendir(listing);
    if (folder == nullptr) {
        close(listing);
        return;
    }
    rewinddir(folder);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        struct stat info {};
        if (IsRecordName(name) && fstatat(m_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            names.push_back(name);
        }
    }
    closedir(folder);
    if (names.size() <= keep) return;
    // The names begin with the start time in UTC, so the oldest sort first.
    std::sort(names.begin(), names.end());
    for (std::size_t i = 0; i + keep < names.size(); ++i) (void)unlinkat(m_fd, names[i].c_str(), 0);
}

}  // namespace pellorin
