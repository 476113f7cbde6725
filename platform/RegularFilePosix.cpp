// Regular files on POSIX: opened without blocking and checked on the descriptor itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/RegularFile.h"

namespace platform {
namespace {

FileRefusal KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileRefusal::None;
    if (S_ISDIR(mode)) return FileRefusal::Folder;
    if (S_ISFIFO(mode)) return FileRefusal::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return FileRefusal::Device;
    if (S_ISSOCK(mode)) return FileRefusal::Socket;
    return FileRefusal::Other;
}

}  // namespace

std::FILE* OpenRegularFile(const std::string& path, FileRefusal* refusal) {
    FileRefusal ignored;
    FileRefusal& why = refusal != nullptr ? *refusal : ignored;
    // A look first, so that a device is never opened at all: opening a tty can raise its modem
    // lines, and a device may act on being opened.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        why = errno == ENOENT || errno == ENOTDIR ? FileRefusal::Missing : FileRefusal::Unreadable;
        return nullptr;
    }
    why = KindOf(info.st_mode);
    if (why != FileRefusal::None) return nullptr;
    // O_NONBLOCK: should the name have become a FIFO in the meantime, the open does not wait for
    // a writer; the check on the descriptor then refuses it.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ENOENT ? FileRefusal::Missing : FileRefusal::Unreadable;
        return nullptr;
    }
    if (fstat(fd, &info) != 0 || (why = KindOf(info.st_mode)) != FileRefusal::None) {
        if (why == FileRefusal::None) why = FileRefusal::Unreadable;
        close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        why = FileRefusal::Unreadable;
    }
    return file;
}

}  // namespace platform
